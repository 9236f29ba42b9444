"""Takes one acquisition from vintrace-analyzer-emu the way a user does: the emulator serves a
private device directory and `vintrace-cli analyzer acquire` arms it (trigger 15: recording
starts at once) and downloads the full memory."""
import os
import shutil
import subprocess
import sys
import tempfile
import time


def acquire(cli, emulator, work, emulator_args, output):
    """Writes the recording of an emulator started with `emulator_args` to `output`."""
    # A short private (0700) device root: a socket path must fit 107 bytes.
    root = tempfile.mkdtemp(prefix="vintrace-emu.")
    log_path = os.path.join(work, "emulator.log")
    with open(log_path, "w") as log:
        emu = subprocess.Popen([emulator, "--dir", root, "--fill-seconds", "0", *emulator_args],
                               stderr=log)
    try:
        deadline = time.monotonic() + 20
        while "listening at" not in open(log_path).read():
            if emu.poll() is not None or time.monotonic() > deadline:
                sys.exit(f"the emulator did not start: {open(log_path).read()}")
            time.sleep(0.05)
        env = dict(os.environ, XDG_RUNTIME_DIR=root)
        result = subprocess.run([cli, "analyzer", "acquire", "-o", output, "--force",
                                 "--trigger", "15", "--timeout", "60"],
                                capture_output=True, text=True, env=env)
        if result.returncode != 0:
            sys.exit(f"acquire failed ({result.returncode}): {result.stderr}")
    finally:
        emu.terminate()
        emu.wait(timeout=20)
        shutil.rmtree(root, ignore_errors=True)


# Recordings the tests take, by name: emulator arguments, the speed to export at, and the
# devices in the order they enumerate.
CASES = {
    "mouse": (["--device", "mouse", "--speed", "low"], "low", ["mouse"]),
    "keyboard": (["--device", "keyboard", "--speed", "low"], "low", ["keyboard"]),
    "keyboard-behind-hub": (["--device", "keyboard"], "full", ["keyboard"]),
    "serial": (["--device", "serial"], "full", ["serial"]),
    "disk": (["--device", "disk"], "full", ["disk"]),
    "dfu": (["--device", "dfu"], "full", ["dfu"]),
    "ftdi": (["--device", "ftdi"], "full", ["ftdi"]),
    "midi": (["--device", "midi"], "full", ["midi"]),
    "vendor": ([], "full", ["vendor"]),
    "mix": (["--device", "keyboard", "--device", "disk", "--device", "mouse",
             "--device", "serial"], "full", ["keyboard", "disk", "mouse", "serial"]),
}
