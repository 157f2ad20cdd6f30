#!/usr/bin/env bash
# Installs every Debian package that the build, the tests, the fuzz targets (clang) and
# the benchmarks need.
set -euo pipefail
SUDO=""
if [ "$(id -u)" -ne 0 ]; then SUDO="sudo"; fi
$SUDO apt-get update
$SUDO env DEBIAN_FRONTEND=noninteractive apt-get install -y \
  build-essential cmake ninja-build pkg-config clang-format doxygen \
  clang libclang-rt-14-dev \
  libboost-dev libboost-filesystem-dev libboost-system-dev libboost-program-options-dev \
  libprotobuf-dev protobuf-compiler \
  nlohmann-json3-dev libpugixml-dev libsqlite3-dev libjemalloc-dev \
  libgtest-dev libgmock-dev libbenchmark-dev \
  bubblewrap python3-protobuf
# Benchmarks only: the peers that bench/run.sh compares the library with (bench_grpc,
# bench_dbus). The library, its programs and its tests build without them.
$SUDO env DEBIAN_FRONTEND=noninteractive apt-get install -y \
  libgrpc++-dev protobuf-compiler-grpc libsystemd-dev dbus-daemon
