#!/usr/bin/env bash
# Installs a build into a temporary prefix, builds the example host against the
# installed CMake package and, a second time, with the pkg-config file alone, and runs
# both against the installed helper and app-service host.
#   scripts/check-install.sh [build folder]
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
        timeout 60 "$2" 2>"$home/stderr" || { echo "$2 failed:"; tail -20 "$home/stderr"; return 1; }
}
run cmake "$work/example/minimal-host"
run pkgconfig "$work/minimal-host-pc"
echo "installed package: CMake and pkg-config builds of the example ran"
