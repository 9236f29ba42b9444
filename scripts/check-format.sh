#!/usr/bin/env bash
# Checks that every tracked C++ source is formatted as .clang-format says, and names each
# place that is not. Fix them with: clang-format -i FILE...
set -euo pipefail
cd "$(dirname "$0")/.."

# The fixtures under tests/data are inputs, not sources.
if git rev-parse --is-inside-work-tree >/dev/null 2>&1; then
    mapfile -t files < <(git ls-files -- '*.cpp' '*.h' '*.hpp' ':!:tests/data/**')
else
    mapfile -t files < <(find src tools emulator tests bench fuzz -path tests/data -prune -o \
        \( -name '*.cpp' -o -name '*.h' -o -name '*.hpp' \) -print | sort)
fi
if clang-format --dry-run --Werror "${files[@]}"; then
    echo "${#files[@]} sources formatted as .clang-format says"
else
    echo "Some sources are not formatted as .clang-format says (see above)" >&2
    exit 1
fi
