#!/usr/bin/env bash
# Installs the Release build's Debian package with apt on this machine, as a user would, runs
# what it installed from where it installed it, and removes it again.
#
# Skipped (exit 77), leaving the machine alone, when not root, without apt, when a vintrace
# package is installed already, when a file of the package is on the system already, or when
# no package was built (scripts/build-deb.sh; in CI, where CI=true, that is a failure).
# Dependencies must be on the machine already (a --no-download simulation checks); in CI,
# missing ones may be fetched, and are removed again afterwards.
# Usage: apt_install_test.sh PACKAGE_DIR SOURCE_DIR CLI
# (CLI: this build's vintrace-cli; a package whose programs say another version is stale)
set -euo pipefail
package_dir=$1
source=$2
cli=$3
skip() { echo "SKIPPED: $*"; exit 77; }
fail() { echo "FAIL: $*" >&2; exit 1; }

command -v apt-get >/dev/null && command -v dpkg-query >/dev/null || skip "no apt-get"
[ "$(id -u)" -eq 0 ] || skip "installing a package needs root"
# Some images tell dpkg to leave out manual pages and documentation, which this test reads.
grep -qs '^path-exclude[= ]*/usr/share/\(man\|doc\)' /etc/dpkg/dpkg.cfg /etc/dpkg/dpkg.cfg.d/* &&
    skip "dpkg on this machine leaves out manual pages or documentation (path-exclude)"
debs=("$package_dir"/vintrace_*.deb)
if [ ${#debs[@]} -ne 1 ] || [ ! -f "${debs[0]}" ]; then
    [ "${CI:-}" = true ] && fail "no single vintrace_*.deb in $package_dir (scripts/build-deb.sh)"
    skip "no package in $package_dir: run scripts/build-deb.sh first"
fi
deb=$(realpath "${debs[0]}")
# A package built from another state of the sources than this build would test the wrong thing.
peek=$(mktemp -d)
dpkg-deb --fsys-tarfile "$deb" | tar -x -C "$peek" ./usr/bin/vintrace-cli
packaged=$("$peek/usr/bin/vintrace-cli" --version | sed 's/^[^ ]* //') || packaged="(does not run)"
rm -rf "$peek"
built=$("$cli" --version | sed 's/^[^ ]* //')
if [ "$packaged" != "$built" ]; then
    [ "${CI:-}" = true ] && fail "the package is $packaged, this build $built"
    skip "the package is $packaged, this build $built: run scripts/build-deb.sh again"
fi
status() { dpkg-query -W -f='${db:Status-Abbrev}' vintrace 2>/dev/null | tr -d ' ' || true; }
case "$(status)" in
    "" | un | pn) ;;
    *) skip "a vintrace package is on this machine already ($(status)); not touching it" ;;
esac
# A file that dpkg would silently replace (say from `cmake --install --prefix /usr`) and then
# remove with the package is someone else's: leave the machine alone.
while read -r file; do
    [ -e "$file" ] || [ -L "$file" ] && skip "$file exists already; not replacing it"
done < <(dpkg-deb --fsys-tarfile "$deb" | tar -t | sed -n 's|^\./|/|; /[^/]$/p')

# The Release build is hardened as Debian packages are: lintian finds no hardening gaps.
if command -v lintian >/dev/null; then
    gaps=$(lintian --tags hardening-no-relro,hardening-no-bindnow,hardening-no-pie,hardening-no-fortify-functions "$deb" 2>/dev/null) || true
    [ -z "$gaps" ] || fail "the package's programs lack hardening:"$'\n'"$gaps"
fi

work=$(mktemp -d)
apt_options=(-o DPkg::Lock::Timeout=120 -y -q)
installed=0
extra=()
cleanup() {
    if [ "$installed" -eq 1 ] && [ -n "$(status)" ] && [ "$(status)" != un ]; then
        DEBIAN_FRONTEND=noninteractive apt-get purge "${apt_options[@]}" vintrace "${extra[@]}" \
            > "$work/remove.log" 2>&1 || cat "$work/remove.log" >&2
    fi
    rm -rf "$work"
}
trap cleanup EXIT

# What apt would install besides the package: nothing when the machine has its dependencies.
apt-get install --simulate --no-download "$deb" > "$work/simulate.log" 2>&1 ||
    { cat "$work/simulate.log"; fail "apt-get cannot resolve the package's dependencies"; }
mapfile -t extra < <(sed -n 's/^Inst \([^ ]*\) .*/\1/p' "$work/simulate.log" | grep -vx vintrace || true)
if [ ${#extra[@]} -gt 0 ]; then
    [ "${CI:-}" = true ] || skip "installing it would also install ${extra[*]}"
    echo "fetching the missing dependencies: ${extra[*]}"
fi

installed=1
start=$(date +%s)
# Not --no-download: apt refuses a local package file with it ("Pathname to install is not
# absolute"). The simulation above already showed whether anything needs fetching.
DEBIAN_FRONTEND=noninteractive apt-get install "${apt_options[@]}" "$deb" \
    > "$work/install.log" 2>&1 || { cat "$work/install.log"; fail "apt-get install failed"; }
echo "installed in $(($(date +%s) - start)) s"
[ "$(status)" = ii ] || fail "after apt-get install the package's state is '$(status)'"

# The installed programs, run from where the package put them.
version=$(dpkg-deb -f "$deb" Version)
version=${version%-*} # the programs know the upstream version, not the package revision
out=$(/usr/bin/vintrace-cli --version) || fail "vintrace-cli --version failed"
[[ $out == "vintrace-cli $version"* ]] || fail "vintrace-cli --version says '$out', the package $version"
examples=/usr/share/doc/vintrace/examples
/usr/bin/vintrace-cli dump "$examples/fs-badge.dat" > "$work/dump" || fail "vintrace-cli dump failed"
cmp -s "$work/dump" "$source/tests/data/fs-badge.expected.tsv" ||
    fail "the installed vintrace-cli dumps the example differently"
[ "$(man -w vintrace-cli)" = /usr/share/man/man1/vintrace-cli.1.gz ] ||
    fail "man -w vintrace-cli finds '$(man -w vintrace-cli 2>&1)'"
cmp -s /usr/share/doc/vintrace/copyright "$source/LICENSE" ||
    fail "/usr/share/doc/vintrace/copyright is not the project's LICENSE"

entry=/usr/share/applications/vintrace.desktop
desktop-file-validate "$entry" || fail "the installed desktop entry does not validate"
exec_line=$(sed -n 's/^Exec=//p' "$entry")
program=$(command -v "${exec_line%% *}") || fail "Exec=$exec_line: no such program on PATH"
[ "$program" = /usr/bin/vintrace ] || fail "Exec=$exec_line runs $program"

# The window starts on a sample with the platform plugin the package depends on, and is still
# running two seconds later; SIGTERM ends it. A missing plugin ends it at once.
mkdir -m 700 "$work/home" "$work/run"
HOME=$work/home XDG_RUNTIME_DIR=$work/run QT_QPA_PLATFORM=offscreen \
    /usr/bin/vintrace "$examples/fs-badge.dat" > "$work/gui.log" 2>&1 &
gui=$!
sleep 2
kill -0 "$gui" 2>/dev/null || { wait "$gui" || true; cat "$work/gui.log"; fail "vintrace ended within 2 s"; }
kill -TERM "$gui"
timeout 10 tail --pid="$gui" -f /dev/null || { kill -KILL "$gui"; fail "vintrace ignored SIGTERM"; }
wait "$gui" 2>/dev/null || true
grep -qi 'could not .*platform plugin\|no Qt platform plugin' "$work/gui.log" &&
    fail "vintrace: $(cat "$work/gui.log")"

# Removed again, it leaves none of its files behind.
installed=0
DEBIAN_FRONTEND=noninteractive apt-get purge "${apt_options[@]}" vintrace "${extra[@]}" \
    > "$work/remove.log" 2>&1 || { cat "$work/remove.log"; fail "apt-get purge failed"; }
case "$(status)" in
    "" | un | pn) ;;
    *) fail "after apt-get purge the package's state is '$(status)'" ;;
esac
for file in /usr/bin/vintrace /usr/bin/vintrace-cli "$entry" /usr/share/doc/vintrace/copyright; do
    [ ! -e "$file" ] || fail "$file is left after removal"
done
echo "package: $(basename "$deb") installed, run and removed"
