#!/bin/sh
# Installs the build into a temporary prefix, builds a small C host program
# against the installed tree twice (CMake's find_package, and pkg-config with
# the C compiler), and runs both, and the installed host tool, against the
# installed simulator: each must list the two instruments through the
# installed library.
#   install_consumer.sh BUILD_DIR SOURCE_DIR C_COMPILER
set -eu
build=$1
source=$2
cc=$3

work=$(mktemp -d /tmp/nvi.XXXXXX)
prefix=$work/prefix
nvsim=$prefix/bin/nvsim
root=$work/root
log=$work/nvsim.log
pid=
cleanup() {
  [ -n "$pid" ] && kill "$pid" 2>/dev/null && wait "$pid" 2>/dev/null
  rm -rf "$work"
}
trap cleanup EXIT
fail() { echo "FAIL: $*"; exit 1; }

# 1. The installed tree.
cmake --install "$build" --prefix "$prefix" >"$work/install.log" || { cat "$work/install.log"; fail "install"; }
for file in include/nvdevices/NVDevices.h bin/nvdevices bin/nvsim; do
  [ -f "$prefix/$file" ] || fail "$file is not installed"
done
library=$(find "$prefix" -name 'libNVDevices.so.*.*' -type f)
[ -n "$library" ] || fail "no versioned library installed"
libdir=$(dirname "$library")
soname=$(objdump -p "$library" | awk '$1 == "SONAME" { print $2 }')
[ "$soname" = "libNVDevices.so.1" ] || fail "soname is '$soname'"
[ -L "$libdir/libNVDevices.so.1" ] && [ -L "$libdir/libNVDevices.so" ] || fail "library links missing"
pcdir=$libdir/pkgconfig
[ -f "$pcdir/nvdevices.pc" ] || fail "nvdevices.pc is not installed"

# 2. The consumer through find_package.
cmake -S "$source/tests/install/consumer" -B "$work/cmake" -G Ninja -DCMAKE_C_COMPILER="$cc" \
  -DCMAKE_PREFIX_PATH="$prefix" >"$work/cmake.log" 2>&1 || { cat "$work/cmake.log"; fail "find_package"; }
cmake --build "$work/cmake" >>"$work/cmake.log" 2>&1 || { cat "$work/cmake.log"; fail "cmake build"; }

# 3. The consumer through pkg-config and the compiler alone.
export PKG_CONFIG_PATH=$pcdir
[ "$(pkg-config --modversion nvdevices)" = 1.0 ] || fail "pkg-config version"
# shellcheck disable=SC2046
"$cc" -std=c99 -Wall -Wextra -Werror -o "$work/consumer_pc" "$source/tests/install/consumer/main.c" \
  $(pkg-config --cflags --libs nvdevices) -ldl -Wl,-rpath,"$(pkg-config --variable=libdir nvdevices)" ||
  fail "pkg-config build"

# 4. Both against the installed simulator.
mkdir -p "$root"
"$nvsim" --root "$root" --time-scale 20 \
  --instrument nv-a --set serial=NV2-000101 --set hwid="0x00111111 0x00222222 0x00333333" \
  --instrument nv-b --set serial=NV2-000102 >"$log" 2>&1 &
pid=$!
tries=0
until [ "$(grep -c '\.sock' "$log" 2>/dev/null || true)" -ge 2 ]; do
  tries=$((tries + 1))
  [ $tries -gt 100 ] && { cat "$log"; fail "nvsim did not start"; }
  sleep 0.1
done
export NVDEVICES_DEVICE_ROOT=$root NVDEVICES_TIME_SCALE=20
for consumer in "$work/cmake/consumer" "$work/consumer_pc"; do
  out=$("$consumer") || fail "$consumer exited with $?"
  echo "$out"
  used=$(echo "$out" | sed -n 's/^library //p')
  [ "$(realpath "$used")" = "$(realpath "$library")" ] || fail "$consumer used $used"
  echo "$out" | grep -qx "count 2" || fail "$consumer did not list two instruments"
  echo "$out" | grep -q " NV2-000101 12 11 11 11 00 22 22 22 00 33 33 33 00$" || fail "$consumer: nv-a"
  echo "$out" | grep -q " NV2-000102 12 " || fail "$consumer: nv-b"
done

# 5. The installed host tool, given the installed library.
"$prefix/bin/nvdevices" --no-records --library "$libdir/libNVDevices.so.1" >"$work/tool.out" ||
  { cat "$work/tool.out"; fail "nvdevices"; }
grep -q NV2-000101 "$work/tool.out" && grep -q NV2-000102 "$work/tool.out" || fail "nvdevices listing"
echo "install and consumers: ok"
