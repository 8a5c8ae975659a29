#!/bin/sh
# Checks that the DLL's export table holds exactly the four host functions,
# by their plain names: any other export would be part of the interface by
# accident.
set -eu
dll=$1
expected="GetDeviceDatabaseInfo
GetDeviceList
GetDeviceMCUId
GetDeviceSerial"
# The name table follows "[Ordinal/Name Pointer] Table" in objdump's dump of
# the export directory: one "[ n] name" line per export.
actual=$(x86_64-w64-mingw32-objdump -p "$dll" |
  sed -n '/\[Ordinal\/Name Pointer\] Table/,/^$/p' |
  sed -n 's/^[[:space:]]*\[[[:space:]]*[0-9]*\][[:space:]]*\([^[:space:]]*\).*/\1/p' | sort -u)
if [ "$actual" != "$expected" ]; then
  echo "exports of $dll differ from the four functions:"
  echo "$actual" | diff -u - /dev/fd/3 3<<EOT || true
$expected
EOT
  exit 1
fi
# Named after the module hosts load.
x86_64-w64-mingw32-objdump -p "$dll" | grep -q "^Name .*NVDevices.dll" || {
  echo "$dll does not name itself NVDevices.dll"
  exit 1
}
echo "exports: $(echo $actual)"
