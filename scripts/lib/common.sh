# Shared helpers of the scripts: package installation and the build.
# Sourced, not run.

NVD_ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
# python3-venv: the Python binding's tests install it into a virtual environment.
NVD_BUILD_PACKAGES=(cmake ninja-build g++ pkg-config libgtest-dev libgmock-dev libbenchmark-dev libinih-dev
  python3 python3-venv)
# The MySQL client library and the private test server (scripts/testdb).
NVD_DB_PACKAGES=(libmariadb-dev libmariadb-dev-compat mariadb-server)

# Installs the Debian packages of the list that are missing.
nvd_ensure_packages() {
  local missing=()
  local pkg
  for pkg in "$@"; do
    dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q 'install ok installed' || missing+=("$pkg")
  done
  if [ ${#missing[@]} -gt 0 ]; then
    echo "Installing: ${missing[*]}"
    export DEBIAN_FRONTEND=noninteractive
    apt-get update -qq
    apt-get install -y -qq --no-install-recommends "${missing[@]}"
  fi
}

# Configures and builds one preset; further arguments go to the configure
# step (e.g. -DNVD_WERROR=ON).
nvd_build() {
  local preset=$1
  shift
  cmake --preset "$preset" -S "$NVD_ROOT" "$@" >/dev/null
  cmake --build --preset "$preset" -j "$(nproc)"
}

# The Windows cross-build and Wine, which runs its programs here.
NVD_WINDOWS_PACKAGES=(g++-mingw-w64-x86-64-posix gcc-mingw-w64-x86-64-posix binutils-mingw-w64-x86-64
  wine wine64 mariadb-client)

# Starts Wine for a run of Windows programs: a private prefix under build/
# (made once), no debug output, no prompts for Mono or Gecko, and one
# wineserver kept alive so that each program starts fast. nvd_wine_stop
# ends it.
nvd_wine_start() {
  export WINEPREFIX=${WINEPREFIX:-$NVD_ROOT/build/wine}
  export WINEDEBUG=-all
  export WINEDLLOVERRIDES="mscoree,mshtml="
  mkdir -p "$WINEPREFIX"
  if [ ! -f "$WINEPREFIX/system.reg" ]; then
    echo "Preparing the Wine prefix $WINEPREFIX"
    /usr/lib/wine/wine64 wineboot --init >/dev/null 2>&1 || true
  fi
  # (A server already running for the prefix is kept: -p then says so and
  # fails.)
  wineserver -p 2>/dev/null || true
  # The first program of a Wine session starts Wine's own services, which
  # inherit its output: started here, they hold no pipe of a test runner
  # open (ctest would wait for them).
  /usr/lib/wine/wine64 wineboot >/dev/null 2>&1 </dev/null || true
}
nvd_wine_stop() {
  [ -n "${WINEPREFIX:-}" ] && wineserver -k 2>/dev/null || true
}
