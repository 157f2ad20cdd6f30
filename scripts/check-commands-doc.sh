#!/bin/sh
# Fails when the checked-in docs/commands.md is not what the command table prints.
# Usage: check-commands-doc.sh <commanddoc program> <checked-in commands.md>
set -eu
generator=$1
checked_in=$2
fresh=$(mktemp)
trap 'rm -f "$fresh"' EXIT
"$generator" "$fresh"
if ! diff -u "$checked_in" "$fresh"; then
    echo "docs/commands.md is stale: the command table changed." >&2
    echo "Update it with: cmake --build build --target update-commands-doc" >&2
    exit 1
fi
