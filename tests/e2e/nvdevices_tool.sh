#!/bin/sh
# The host tool against the simulator program: three instruments on a
# private device root, listed as text and as JSON; then the tool's error
# when the library cannot be loaded. Arguments after the library are the
# program that runs the tool (wine for the Windows build), whose line ends
# are read as plain ones.
set -eu
nvsim=$1
nvdevices=$2
library=$3
shift 3
tool() { "$@" "$nvdevices" $tool_args | tr -d '\r'; }

. "$(dirname "$0")/start_nvsim.sh"
nvsim_root nvt
cleanup_extra=$root.watch

export NVDEVICES_DEVICE_ROOT=$root
export NVDEVICES_TIME_SCALE=20
start_nvsim 3 \
  --instrument nv-1 --set serial=NV2-000001 --set "hwid=0x00123456 0x00ABCDEF 0x00000042" \
  --instrument nv-2 --set serial=NV2-000002 --set "hwid=0x80000001 2 3" \
  --instrument nv-3 --set serial= --set "hwid=0x123 0x456 0x789"

fail() { echo "FAIL: $*"; echo "--- output:"; echo "$out"; exit 1; }

out=$(tool_args="--library $library" tool "$@")
echo "$out"
echo "$out" | grep -q '^ID  *SERIAL  *HARDWARE ID' || fail "no heading"
echo "$out" | grep -Eq '^ *[0-9]+  NV2-000001  *123456-ABCDEF-000042  *56 34 12 00 EF CD AB 00 42 00 00 00$' || fail "row 1"
echo "$out" | grep -Eq 'NV2-000002  *80000001-00000002-00000003  *01 00 00 80 02 00 00 00 03 00 00 00$' || fail "row 2"
echo "$out" | grep -Eq '000123-000456-000789  *000123-000456-000789  *23 01 00 00 56 04 00 00 89 07 00 00$' || fail "row 3"

out=$(tool_args="--json --library $library" tool "$@")
echo "$out"
echo "$out" | grep -q '"serial": "NV2-000001", "hardware_id": "123456-ABCDEF-000042", "hardware_id_words": \[1193046, 11259375, 66\]' || fail "json row 1"
[ "$(echo "$out" | grep -c '"id": ')" -eq 3 ] || fail "json count"
if command -v python3 >/dev/null; then
  echo "$out" | python3 -c 'import json,sys; d=json.load(sys.stdin); assert len(d["instruments"]) == 3' || fail "json does not parse"
fi

# Watch: the first listing, then an instrument leaving when nvsim stops
# (stopped once the first listing is out, however long the tool took to
# start).
watch=$root.watch
"$@" "$nvdevices" --watch --interval 200 --iterations 3 --library "$library" >"$watch" &
wpid=$!
i=0
until grep -q '^Watching' "$watch" 2>/dev/null; do
  i=$((i + 1))
  [ $i -gt 300 ] && { out=$(cat "$watch"); fail "watch did not start"; }
  sleep 0.1
done
kill "$pid"
wait "$pid" 2>/dev/null || true
pid=
wait $wpid
out=$(tr -d '\r' <"$watch")
echo "$out"
[ "$(echo "$out" | grep -c '^\[[0-9:]*\] - ')" -eq 3 ] || fail "watch departures"

# A library that cannot be loaded: a clear message and exit status 2.
set +e
out=$("$@" "$nvdevices" --library "$root/missing.so" 2>&1)
status=$?
set -e
[ $status -eq 2 ] || fail "exit status $status for a missing library"
echo "$out" | grep -q "cannot load the NVDevices library" || fail "missing-library message"
echo "$out" | grep -q "$root/missing.so" || fail "missing-library path"
echo "nvdevices tool: ok"
