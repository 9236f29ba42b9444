#!/usr/bin/env bash
# Builds the Debian package from a build tree, inspects it (control fields, file list,
# dependencies), unpacks it into a scratch root and runs the unpacked programs there.
# Nothing is installed on this machine. Exit 77 (skipped) without dpkg-deb.
# Usage: deb_test.sh BUILD_DIR SOURCE_DIR
set -euo pipefail
build=$1
source=$2
command -v dpkg-deb >/dev/null || { echo "SKIPPED: no dpkg-deb"; exit 77; }

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }

cpack -G DEB --config "$build/CPackConfig.cmake" -B "$work/out" > "$work/cpack.log" 2>&1 ||
    { cat "$work/cpack.log"; fail "cpack failed"; }
debs=("$work"/out/vintrace_*.deb)
[ ${#debs[@]} -eq 1 ] && [ -f "${debs[0]}" ] || fail "expected one vintrace_*.deb, got: ${debs[*]}"
deb=${debs[0]}

# Control fields.
dpkg-deb -I "$deb" > "$work/info"
field() { dpkg-deb -f "$deb" "$1"; }
[ "$(field Package)" = vintrace ] || fail "Package is '$(field Package)'"
version=$("$build/tools/cli/vintrace-cli" --version | awk '{ print $2 }')
# Revision 1 of the version the programs report.
[ "$(field Version)" = "$version-1" ] || fail "Version '$(field Version)', the programs say $version"
[[ $(field Maintainer) == *" <"*@*.*">" ]] || fail "Maintainer '$(field Maintainer)' has no mail address"

# lintian, Debian's package checker, finds no errors (warnings and notes are shown).
if command -v lintian >/dev/null; then
    lintian --fail-on error "$deb" > "$work/lintian" 2>&1 ||
        { cat "$work/lintian"; fail "lintian finds errors in the package"; }
    cat "$work/lintian"
elif [ "${CI:-}" = true ]; then
    fail "lintian is not installed (scripts/install-deps.sh installs it)"
else
    echo "NOTE: lintian is not installed; the package was not checked with it"
fi
depends=$(field Depends)
for lib in libqt6widgets6 libqt6gui6 libqt6core6 libpcap0.8 libstdc++6 qt6-qpa-plugins; do
    [[ ", $depends," == *", $lib "* || ", $depends," == *", $lib,"* ]] ||
        fail "Depends lacks $lib: $depends"
done
[[ $(field Recommends) == *hwdata* ]] || fail "hwdata is not recommended"
# Every dependency names a real package, at a version this Debian has.
IFS=',' read -r -a clauses <<< "$depends"
for clause in "${clauses[@]}"; do
    name=$(echo "$clause" | sed 's/|.*//; s/(.*//; s/ //g')
    dpkg-query -W "$name" > /dev/null 2>&1 || apt-cache show "$name" > /dev/null 2>&1 ||
        fail "dependency '$name' is no known package"
done
if command -v apt-get >/dev/null; then
    # Resolves the package's dependencies against this system without changing anything.
    apt-get install --simulate --no-download "$deb" > "$work/apt.log" 2>&1 ||
        { cat "$work/apt.log"; fail "apt-get cannot resolve the package's dependencies"; }
fi

# Contents.
dpkg-deb -c "$deb" | awk '{ print $6 }' | sed 's|^\./|/|' > "$work/files"
programs=(vintrace vintrace-cli vintrace-analyzer-emu)
[ -x "$build/tools/extcap/vintrace-extcap" ] && programs+=(vintrace-extcap)
expect=(
    /usr/share/applications/vintrace.desktop
    /usr/share/icons/hicolor/scalable/apps/vintrace.svg
    /usr/share/bash-completion/completions/vintrace-cli
    /usr/share/doc/vintrace/README.md
    /usr/share/doc/vintrace/checks.md
    /usr/share/doc/vintrace/LICENSE
    /usr/share/doc/vintrace/copyright
    /usr/share/doc/vintrace/examples/LICENSE.examples
    /usr/share/doc/vintrace/examples/fs-badge.dat
)
for size in 16 32 48 64 128 256; do
    expect+=("/usr/share/icons/hicolor/${size}x${size}/apps/vintrace.png")
done
for p in vintrace vintrace-cli vintrace-analyzer-emu; do
    expect+=("/usr/bin/$p" "/usr/share/man/man1/$p.1.gz")
done
for f in "${expect[@]}"; do
    grep -qx "$f" "$work/files" || fail "the package lacks $f"
done
if [[ " ${programs[*]} " == *" vintrace-extcap "* ]]; then
    grep -q '/wireshark/extcap/vintrace-extcap$' "$work/files" ||
        fail "the package lacks vintrace-extcap in a Wireshark extcap folder"
fi
grep -q '^/usr/local' "$work/files" && fail "files under /usr/local"

# Unpacked, the programs run from their new place.
root=$work/root
dpkg-deb -x "$deb" "$root"
for p in vintrace vintrace-cli vintrace-analyzer-emu; do
    out=$(QT_QPA_PLATFORM=offscreen "$root/usr/bin/$p" --version) || fail "$p --version failed"
    [[ $out == "$p $version"* ]] || fail "$p --version says '$out'"
done
"$root/usr/bin/vintrace-cli" dump "$root/usr/share/doc/vintrace/examples/fs-badge.dat" > "$work/dump"
cmp -s "$work/dump" "$source/tests/data/fs-badge.expected.tsv" ||
    fail "the unpacked vintrace-cli dumps the example differently"

# Debian's place for the copyright notice holds the project's, which grants no licence.
cmp -s "$root/usr/share/doc/vintrace/copyright" "$source/LICENSE" ||
    fail "/usr/share/doc/vintrace/copyright is not the project's LICENSE"
grep -q '^Copyright (c) 2026 the Vintrace developers. All rights reserved.$' \
    "$root/usr/share/doc/vintrace/copyright" || fail "the copyright line is missing"
cmp -s "$root/usr/share/doc/vintrace/examples/LICENSE.examples" "$source/tests/data/LICENSE" ||
    fail "the examples' licence is not tests/data/LICENSE"

# The desktop entry is valid and starts a program and shows an icon that the package holds.
if command -v desktop-file-validate >/dev/null; then
    desktop-file-validate "$root/usr/share/applications/vintrace.desktop" ||
        fail "desktop entry does not validate"
fi
exec_line=$(sed -n 's/^Exec=//p' "$root/usr/share/applications/vintrace.desktop")
[ -x "$root/usr/bin/${exec_line%% *}" ] || fail "Exec=$exec_line is not in the package"
icon=$(sed -n 's/^Icon=//p' "$root/usr/share/applications/vintrace.desktop")
[ -f "$root/usr/share/icons/hicolor/scalable/apps/$icon.svg" ] || fail "no icon named $icon"

# The manual page of vintrace-cli has a section for every subcommand the program lists.
page=$(zcat "$root/usr/share/man/man1/vintrace-cli.1.gz")
subs=$("$root/usr/bin/vintrace-cli" --help | sed -n '/^Subcommands:/,/^$/p' |
    sed -n 's/^  \([a-z][a-z0-9-]*\).*/\1/p')
[ -n "$subs" ] || fail "vintrace-cli --help lists no subcommands"
for s in $subs; do
    grep -q "^\.SS \"vintrace-cli $s\"" <<< "$page" || fail "man vintrace-cli lacks '$s'"
done
echo "package: $(basename "$deb") checked"
