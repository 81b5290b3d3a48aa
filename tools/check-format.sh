#!/usr/bin/env bash
# Checks that every C++ file of the project is as clang-format writes it with the repository's
# .clang-format, and names the files that are not. With --fix, rewrites them instead.
# The files: those git tracks or would track (not ignored); outside a git checkout, every .cpp
# and .h file of the source folders. Used by `make lint`, the pre-commit hook and the `format` test.
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."

mode=(--dry-run --Werror)
if [[ "${1:-}" == --fix ]]; then
    mode=(-i)
elif [[ $# -gt 0 ]]; then
    echo "usage: $0 [--fix]" >&2
    exit 2
fi
if ! command -v clang-format >/dev/null; then
    echo "check-format: clang-format is not installed (Debian package clang-format)" >&2
    exit 2
fi

if git rev-parse --is-inside-work-tree >/dev/null 2>&1; then
    mapfile -t listed < <(git ls-files --cached --others --exclude-standard -- '*.cpp' '*.h')
else
    mapfile -t listed < <(find app bench calc platform resources tests tools tray \
        -name '*.cpp' -o -name '*.h' | sort)
fi
files=()
for f in "${listed[@]}"; do
    [[ -f "$f" ]] && files+=("$f") # a file deleted but not yet committed is still listed
done
(( ${#files[@]} )) || { echo "check-format: no C++ files found" >&2; exit 2; }

if clang-format "${mode[@]}" "${files[@]}"; then
    echo "check-format: ${#files[@]} files as clang-format writes them"
else
    echo "check-format: the files above differ from clang-format's layout;" \
         "tools/check-format.sh --fix rewrites them" >&2
    exit 1
fi
