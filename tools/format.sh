#!/bin/sh
# Formats every C++ source of the tree with .clang-format; with --check it changes nothing and
# fails when a file is not formatted (CI runs that).
set -e
cd "$(dirname "$0")/.."
tools/setup.sh clang-format
FILES=$(git ls-files '*.cpp' '*.h')
if [ "$1" = "--check" ]; then
    clang-format --dry-run -Werror $FILES
    echo "format.sh: $(echo "$FILES" | wc -l) files formatted"
else
    clang-format -i $FILES
fi
