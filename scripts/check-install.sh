#!/usr/bin/env bash
# Installs a build into a temporary prefix; checks that the installed headers include
# only each other (no protobuf, no Boost, nothing private) and that the library exports
# exactly the symbols listed in cmake/exported-symbols.txt; builds the example host
# against the installed CMake package and, a second time, with the pkg-config file
# alone, and runs both against the installed helper and app-service host.
#   scripts/check-install.sh [build folder]
# With TARVIK_UPDATE_SYMBOLS=1 the symbol list is rewritten from the build instead of
# compared (for a change that adds to or takes from the public API on purpose).
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
build="$(cd "${1:-$root/build}" && pwd)"
work="$(mktemp -d)"
cleanup() {
    # The app-service host of the example ends on its own after 30 s idle; do not wait.
    pkill -f "^$work/prefix/bin/" 2>/dev/null || true
    rm -rf "$work"
}
trap cleanup EXIT

cmake --install "$build" --prefix "$work/prefix" >/dev/null

# The headers: every include is a standard header or another installed public header.
includedir="$work/prefix/include"
status=0
while IFS= read -r header; do
    while IFS= read -r line; do
        target="$(sed -E 's/^[[:space:]]*#[[:space:]]*include[[:space:]]*[<"]([^>"]*)[>"].*/\1/' <<<"$line")"
        case "$target" in
            google/* | boost/* | *.pb.h) reason="protobuf or Boost" ;;
            TarvikFoundation/*) [[ -f "$includedir/$target" ]] && continue; reason="not installed" ;;
            *) [[ "$line" == *'"'* ]] || continue; reason="not a public header" ;;
        esac
        echo "installed ${header#"$includedir/"} includes $target: $reason"
        status=1
    done < <(grep -E '^[[:space:]]*#[[:space:]]*include' "$header")
done < <(find "$includedir" -type f)
[[ "$(find "$includedir" -mindepth 1 -maxdepth 1)" == "$includedir/TarvikFoundation" ]] ||
    { echo "installed headers outside include/TarvikFoundation/"; status=1; }

# The exported symbols, demangled and sorted.
library="$(find "$work/prefix" -name 'libtarvikfoundation.so.*.*' -type f)"
nm -D --defined-only "$library" | awk '{print $NF}' | c++filt | LC_ALL=C sort -u >"$work/exported.txt"
listed="$root/cmake/exported-symbols.txt"
if [[ -n "${TARVIK_UPDATE_SYMBOLS:-}" ]]; then
    cp "$work/exported.txt" "$listed"
    echo "wrote $(wc -l <"$listed") exported symbols to $listed"
elif ! diff -u "$listed" "$work/exported.txt" >"$work/symbols.diff"; then
    echo "exported symbols differ from cmake/exported-symbols.txt (- listed, + exported):"
    grep -E '^[-+][^-+]' "$work/symbols.diff" | head -50
    status=1
fi
if grep -Eq '(^|[^[:alnum:]_])(google::protobuf|boost)::' "$work/exported.txt"; then
    echo "protobuf or Boost symbols exported:"
    grep -E '(^|[^[:alnum:]_])(google::protobuf|boost)::' "$work/exported.txt" | head -20
    status=1
fi
((status == 0)) || exit 1
cmake -S "$root/examples/minimalhost" -B "$work/example" -G Ninja \
    -DCMAKE_PREFIX_PATH="$work/prefix" >/dev/null
cmake --build "$work/example" >/dev/null

pcdir="$(dirname "$(find "$work/prefix" -name tarvikfoundation.pc)")"
libdir="$(PKG_CONFIG_PATH="$pcdir" pkg-config --variable=libdir tarvikfoundation)"
# shellcheck disable=SC2046
c++ -o "$work/minimal-host-pc" "$root/examples/minimalhost/main.cpp" \
    $(PKG_CONFIG_PATH="$pcdir" pkg-config --cflags --libs tarvikfoundation) -Wl,-rpath,"$libdir"

run() {
    local home="$work/home-$1"
    mkdir -p "$home/run"
    XDG_RUNTIME_DIR="$home/run" XDG_DATA_HOME="$home/data" \
        TARVIK_PACKAGE_MANIFEST="$work/example/minimal-host.manifest.json" \
        timeout 60 "$2" 2>"$home/stderr" ||
        { echo "$2 failed (exit $?):"; tail -20 "$home/stderr"; return 1; }
}
run cmake "$work/example/minimal-host"
run pkgconfig "$work/minimal-host-pc"
echo "installed package: public headers only, $(wc -l <"$work/exported.txt") symbols as listed; CMake and pkg-config builds of the example ran"
