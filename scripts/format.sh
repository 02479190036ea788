#!/usr/bin/env bash
# Formats the project's C++ sources in place, or with --check fails on any
# difference.
set -euo pipefail
cd "$(dirname "$0")/.."
mapfile -t files < <(git ls-files --cached --others --exclude-standard '*.cpp' '*.hpp')
((${#files[@]})) || exit 0
if [[ "${1:-}" == "--check" ]]; then
  clang-format --dry-run --Werror "${files[@]}"
else
  clang-format -i "${files[@]}"
fi
