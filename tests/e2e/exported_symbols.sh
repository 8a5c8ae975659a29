#!/bin/sh
# Checks that the shared library exports exactly the four host functions:
# every other defined dynamic symbol would be part of the interface by
# accident.
set -eu
lib=$1
expected="GetDeviceDatabaseInfo
GetDeviceList
GetDeviceMCUId
GetDeviceSerial"
# Version-node names (the ABS symbols of a version script) are no functions.
actual=$(nm -D --defined-only "$lib" | awk '$2 != "A" {print $3}' | sed 's/@.*//' | sort -u)
if [ "$actual" != "$expected" ]; then
  echo "exported symbols of $lib differ from the four functions:"
  echo "$actual" | diff -u - /dev/fd/3 3<<EOT || true
$expected
EOT
  exit 1
fi
# The four are functions (text symbols).
for name in $expected; do
  nm -D --defined-only "$lib" | grep -q " T $name\$" || { echo "$name is not a function"; exit 1; }
done
echo "exports: $(echo $actual)"
