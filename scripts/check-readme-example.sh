#!/usr/bin/env bash
# The README prints the minimal host between its "README begin" and "README end" marks;
# fails, showing the difference, when the README's code block and the file differ.
#   scripts/check-readme-example.sh [checkout]
set -euo pipefail
root="$(cd "${1:-$(dirname "$0")/..}" && pwd)"
source_file="$root/examples/minimalhost/main.cpp"
readme="$root/README.md"

# The lines strictly between the marks.
from_source="$(sed -n '/^\/\/ README begin$/,/^\/\/ README end$/p' "$source_file" | sed '1d;$d')"
# The fenced block that follows the README's pointer to the file.
from_readme="$(awk '
    /^<!-- verbatim: examples\/minimalhost\/main.cpp -->$/ { pointer = 1; next }
    pointer && /^```cpp$/ { inside = 1; pointer = 0; next }
    inside && /^```$/ { exit }
    inside { print }
' "$readme")"

if [[ -z "$from_source" ]]; then
    echo "check-readme-example: no README marks in $source_file" >&2
    exit 1
fi
if [[ -z "$from_readme" ]]; then
    echo "check-readme-example: no code block after the verbatim pointer in $readme" >&2
    exit 1
fi
if ! diff -u --label examples/minimalhost/main.cpp --label README.md \
        <(printf '%s\n' "$from_source") <(printf '%s\n' "$from_readme"); then
    echo "check-readme-example: README.md's example differs from examples/minimalhost/main.cpp" >&2
    exit 1
fi
echo "README example matches examples/minimalhost/main.cpp"
