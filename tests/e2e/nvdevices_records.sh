#!/bin/sh
# The host tool's manufacturing records, through the library's lookup against
# the private test server (scripts/test exports its NVD_TEST_DB_* variables):
# the demo's three instruments and their rows, one matching in full, one
# under another serial number, one without a row. Arguments after the
# library are the program that runs the tool (wine for the Windows build).
set -eu
nvsim=$1
nvdevices=$2
library=$3
config=$4
shift 4

for name in HOST PORT USER PASSWORD NAME; do
  eval "value=\${NVD_TEST_DB_$name:-}"
  [ -n "$value" ] || { echo "NVD_TEST_DB_$name is not set: run through scripts/test"; exit 1; }
done

. "$(dirname "$0")/start_nvsim.sh"
nvsim_root nvr

MYSQL_PWD=$NVD_TEST_DB_PASSWORD mariadb --no-defaults -h "$NVD_TEST_DB_HOST" \
  -P "$NVD_TEST_DB_PORT" -u "$NVD_TEST_DB_USER" "$NVD_TEST_DB_NAME" <"$config/manufacturing.sql"

export NVDEVICES_DEVICE_ROOT=$root
export NVDEVICES_TIME_SCALE=20
export NVDEVICES_DATABASE_URL="https://$NVD_TEST_DB_USER:$NVD_TEST_DB_PASSWORD@$NVD_TEST_DB_HOST:$NVD_TEST_DB_PORT"
export NVDEVICES_DATABASE_SCHEMA=$NVD_TEST_DB_NAME
start_nvsim 3 --config "$config/instruments.conf"

out=$("$@" "$nvdevices" --json --library "$library" | tr -d '\r')
echo "$out"
fail() { echo "FAIL: $*"; exit 1; }
echo "$out" | python3 -c '
import json, sys
found = {i["serial"]: i["record"] for i in json.load(sys.stdin)["instruments"]}
full = found["NV2-240117"]
assert full["code"] == 0, full
assert full["programming_date"].startswith("2024-01-17"), full
assert full["test_flag"] == 1 and full["calibration_flag"] == 1, full
assert found["NV3-250302"]["code"] == 4, found
assert [r["code"] for s, r in found.items() if s not in ("NV2-240117", "NV3-250302")] == [3], found
' || fail "records"
echo "nvdevices records: ok"
