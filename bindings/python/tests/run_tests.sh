#!/bin/sh
# Installs the binding with pip into a fresh virtual environment and runs its
# unittest suite against nvsim (the demo's instruments) and the private test
# database (scripts/test exports its NVD_TEST_DB_* variables).
#   run_tests.sh PYTHON NVSIM LIBRARY SOURCE_DIR
set -eu
python=$1
nvsim=$2
library=$3
source=$4
demo=$source/tools/nvdevices/demo

for name in HOST PORT USER PASSWORD NAME; do
  eval "value=\${NVD_TEST_DB_$name:-}"
  [ -n "$value" ] || { echo "NVD_TEST_DB_$name is not set: run through scripts/test"; exit 1; }
done
"$python" -c 'import venv, ensurepip' 2>/dev/null ||
  { echo "$python has no venv/ensurepip (Debian: python3-venv)"; exit 1; }

. "$source/tests/e2e/start_nvsim.sh"
nvsim_root nvpy
venv=$root.venv
cleanup_extra=$venv

# pip installs from the repository without a package index: the project's
# own build backend needs only the standard library.
"$python" -m venv "$venv"
"$venv/bin/python" -m pip install --quiet --no-index --disable-pip-version-check \
  "$source/bindings/python"

MYSQL_PWD=$NVD_TEST_DB_PASSWORD mariadb --no-defaults -h "$NVD_TEST_DB_HOST" \
  -P "$NVD_TEST_DB_PORT" -u "$NVD_TEST_DB_USER" "$NVD_TEST_DB_NAME" <"$demo/manufacturing.sql"

export NVDEVICES_DEVICE_ROOT=$root
export NVDEVICES_TIME_SCALE=20
export NVDEVICES_LIBRARY=$library
export NVDEVICES_DATABASE_URL="https://$NVD_TEST_DB_USER:$NVD_TEST_DB_PASSWORD@$NVD_TEST_DB_HOST:$NVD_TEST_DB_PORT"
export NVDEVICES_DATABASE_SCHEMA=$NVD_TEST_DB_NAME
start_nvsim 3 --config "$demo/instruments.conf"

# From a folder outside the source tree, so that the installed package is
# the one imported.
cd "$root"
export PYTHONDONTWRITEBYTECODE=1
"$venv/bin/python" -m unittest discover -s "$source/bindings/python/tests" -t "$source/bindings/python/tests" -v
