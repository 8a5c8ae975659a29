#!/bin/sh
# Loads and unloads the library 100 times with two simulated instruments
# attached: load_cycles_posix with the shared library, or load_cycles.exe
# with the DLL under Wine (the arguments after the library run the program),
# the Linux simulator serving it over TCP.
set -eu
nvsim=$1
program=$2
library=$3
shift 3

root=$(mktemp -d /tmp/nvl.XXXXXX)
log=$root.log
cleanup() {
  [ -n "${pid:-}" ] && kill "$pid" 2>/dev/null && wait "$pid" 2>/dev/null
  rm -rf "$root" "$log"
}
trap cleanup EXIT

export NVDEVICES_DEVICE_ROOT=$root
export NVDEVICES_TIME_SCALE=50
"$nvsim" --root "$root" --instrument nv-1 --set serial=NV2-000001 \
  --instrument nv-2 --set serial=NV2-000002 >"$log" 2>&1 &
pid=$!
i=0
until [ "$(cat "$log" 2>/dev/null | grep -c '\.sock')" -ge 2 ]; do
  i=$((i + 1))
  [ $i -gt 100 ] && { echo "nvsim did not start:"; cat "$log"; exit 1; }
  sleep 0.1
done
# The system DLLs the library imports stay loaded, as in a real host.
imports=
case $library in
*.dll) imports=$(x86_64-w64-mingw32-objdump -p "$library" | awk '/DLL Name:/ {print $3}') ;;
esac
"$@" "$program" "$library" 2 100 $imports
