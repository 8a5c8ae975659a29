#!/usr/bin/env bash
# Builds MariaDB Connector/C for mingw-w64 x86_64 from the libmariadb/ folder
# of Debian's "mariadb" source package, once per source version.
#   scripts/lib/mingw-mariadb.sh [OUTDIR]          (default build/mingw-mariadb)
#   scripts/lib/mingw-mariadb.sh --check [OUTDIR]  then also connect under Wine, with
#     CLIENT_COMPRESS and a password user, to a private mariadbd started for it
#     (mingw-mariadb-check.c; needs wine and mariadb-server)
# Outputs (cmake/MingwMariaDB.cmake turns them into the target MariaDB::Client):
#   OUTDIR/install/include                 headers (mysql.h, errmsg.h, mariadb_*.h)
#   OUTDIR/install/lib/libmariadbclient.a  static client, to link into NVDevices.dll
#   Link after it: ws2_32 shlwapi crypt32 bcrypt secur32 advapi32 kernel32
#   Every client plugin is built in (native/old/clear password, ed25519, sha256,
#   caching_sha2, dialog, gssapi over SSPI, zlib compression with the bundled zlib,
#   whose symbols are inside the archive), so nothing is loaded from a plugin folder.
#   OUTDIR/install/lib/libmariadb.dll(.a)  the shared build, unused by NVDevices.
#   OUTDIR/.done holds the source version; the build is skipped while it matches.
set -euo pipefail
# shellcheck source=scripts/lib/common.sh
source "$(dirname "$0")/common.sh"

check=0
if [ "${1:-}" = --check ]; then
  check=1
  shift
fi
out=${1:-$NVD_ROOT/build/mingw-mariadb}
mkdir -p "$out"
out=$(cd "$out" && pwd)
work=$out/work
prefix=$out/install
stamp=$out/.done
# Raised whenever the build options below change, so an old build is not reused.
recipe=1

say() { echo "mingw-mariadb: $*"; }

# The highest version of the source package the configured deb-src lists know
# (empty when there are none).
candidate_version() {
  local best="" v
  while read -r v; do
    if [ -z "$best" ] || dpkg --compare-versions "$v" gt "$best"; then best=$v; fi
  done < <(apt-cache showsrc --only-source mariadb 2>/dev/null | sed -n 's/^Version: //p')
  echo "$best"
}

up_to_date() {
  local candidate=$1
  [ -n "$candidate" ] && [ -f "$stamp" ] && [ -f "$prefix/lib/libmariadbclient.a" ] &&
    grep -qx "candidate=$candidate" "$stamp" && grep -qx "recipe=$recipe" "$stamp"
}

# Links mingw-mariadb-check.c statically and runs it under Wine against a
# throwaway server (own datadir, socket and port; scripts/testdb's stays alone).
run_check() {
  local tmp port rc=0 server
  nvd_ensure_packages wine wine64 mariadb-server
  tmp=$(mktemp -d /tmp/mingw-mariadb-check.XXXXXX)
  # shellcheck disable=SC2064
  trap "stop_check_server '$tmp'; rm -rf '$tmp'" EXIT
  say "check: cross-compiling mingw-mariadb-check.c"
  x86_64-w64-mingw32-gcc-posix -O2 -Wall -static -o "$tmp/check.exe" \
    "$NVD_ROOT/scripts/lib/mingw-mariadb-check.c" -I"$prefix/include" \
    "$prefix/lib/libmariadbclient.a" -lws2_32 -lshlwapi -lcrypt32 -lbcrypt -lsecur32 -ladvapi32
  say "check: starting a private mariadbd"
  mariadb-install-db --no-defaults --datadir="$tmp/data" --auth-root-authentication-method=socket \
    --skip-test-db --user="$(id -un)" >"$tmp/install.log" 2>&1
  port=$(python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
  server=$(command -v mariadbd || echo /usr/sbin/mariadbd)
  setsid "$server" --no-defaults --datadir="$tmp/data" --socket="$tmp/sock" --pid-file="$tmp/pid" \
    --port="$port" --bind-address=127.0.0.1 --skip-name-resolve --skip-log-bin \
    --innodb-buffer-pool-size=32M --log-error="$tmp/error.log" --user="$(id -un)" \
    </dev/null >/dev/null 2>&1 &
  for _ in $(seq 1 150); do
    mariadb-admin --no-defaults --socket="$tmp/sock" -uroot ping >/dev/null 2>&1 && break
    sleep 0.2
  done
  mariadb --no-defaults --socket="$tmp/sock" -uroot \
    -e "CREATE USER 'nvdcheck'@'127.0.0.1' IDENTIFIED BY 'Chk-4711-pw'"
  export WINEDEBUG=-all
  # Keeps one server up between the runs (fails harmlessly when one already runs).
  wineserver -p30 2>/dev/null || true
  say "check: running under Wine"
  wine "$tmp/check.exe" 127.0.0.1 "$port" nvdcheck Chk-4711-pw || rc=1
  # A wrong password must fail: the run above did authenticate.
  if wine "$tmp/check.exe" 127.0.0.1 "$port" nvdcheck wrong >/dev/null 2>&1; then rc=1; fi
  [ $rc = 0 ] && say "check: passed" || echo "mingw-mariadb: check FAILED" >&2
  return $rc
}

stop_check_server() {
  local tmp=$1 pid
  [ -f "$tmp/pid" ] || return 0
  pid=$(cat "$tmp/pid")
  mariadb-admin --no-defaults --socket="$tmp/sock" -uroot shutdown >/dev/null 2>&1 || kill "$pid" 2>/dev/null || true
  for _ in $(seq 1 100); do
    kill -0 "$pid" 2>/dev/null || return 0
    sleep 0.1
  done
}

finish() {
  say "$prefix"
  [ $check = 0 ] || run_check
}

if up_to_date "$(candidate_version)"; then
  say "up to date"
  finish
  exit
fi

# Does apt have a deb-src entry for Debian's main archive?
has_debian_src() {
  # shellcheck disable=SC2016 # apt's own $(FIELD) syntax
  apt-get indextargets --format '$(CREATED_BY) $(REPO_URI)' 2>/dev/null |
    grep -qE '^Sources https?://[^ ]*/debian/?$'
}

# Writes a deb-src copy of every enabled binary entry of Debian's main archive
# into a file of its own; the existing files stay untouched.
add_debian_src() {
  local deb822=/etc/apt/sources.list.d/nvd-debian-src.sources
  local oneline=/etc/apt/sources.list.d/nvd-debian-src.list
  local f
  local sources=() lists=()
  for f in /etc/apt/sources.list.d/*.sources; do
    [ -f "$f" ] && [ "$f" != "$deb822" ] && sources+=("$f")
  done
  for f in /etc/apt/sources.list /etc/apt/sources.list.d/*.list; do
    [ -f "$f" ] && [ "$f" != "$oneline" ] && lists+=("$f")
  done
  if [ ${#sources[@]} -gt 0 ]; then
    # One stanza per paragraph; continuation lines (leading blank) belong to the
    # field before them (e.g. an inline Signed-By key).
    awk '
      function flush(   i, uris, types) {
        if (n > 0) {
          types = " " tolower(field["types"]) " "; uris = field["uris"]
          if (types ~ / deb / && types !~ / deb-src / && tolower(field["enabled"]) != "no" &&
              uris ~ /https?:\/\/[^ ]*\/debian\/?( |$)/) {
            print "Types: deb-src"
            for (i = 1; i <= n; i++) if (key[i] != "types") print text[i]
            print ""
          }
        }
        n = 0; delete field
      }
      FNR == 1 { flush() }
      /^[ \t]*#/ { next }
      /^[ \t]*$/ { flush(); next }
      /^[ \t]/ { text[n] = text[n] "\n" $0; next }
      {
        k = tolower(substr($0, 1, index($0, ":") - 1))
        v = substr($0, index($0, ":") + 1); sub(/^[ \t]+/, "", v); sub(/[ \t]+$/, "", v)
        n++; key[n] = k; text[n] = $0; field[k] = v
      }
      END { flush() }
    ' "${sources[@]}" >"$deb822.tmp"
    if [ -s "$deb822.tmp" ]; then mv "$deb822.tmp" "$deb822"; else rm -f "$deb822.tmp"; fi
  fi
  if [ ${#lists[@]} -gt 0 ]; then
    sed -nE 's#^[ \t]*deb([ \t]+(\[[^]]*\])?[ \t]*https?://[^ \t]*/debian/?[ \t].*)$#deb-src\1#p' \
      "${lists[@]}" >"$oneline.tmp"
    if [ -s "$oneline.tmp" ]; then mv "$oneline.tmp" "$oneline"; else rm -f "$oneline.tmp"; fi
  fi
  has_debian_src || {
    echo "mingw-mariadb: found no Debian archive entry to copy as deb-src" >&2
    return 1
  }
}

if ! has_debian_src; then
  say "adding a deb-src entry for the Debian archive"
  add_debian_src
fi
say "apt-get update"
DEBIAN_FRONTEND=noninteractive apt-get update -qq
nvd_ensure_packages cmake ninja-build g++-mingw-w64-x86-64-posix gcc-mingw-w64-x86-64-posix \
  binutils-mingw-w64-x86-64 dpkg-dev xz-utils

candidate=$(candidate_version)
[ -n "$candidate" ] || { echo "mingw-mariadb: apt knows no source package mariadb" >&2; exit 1; }
if up_to_date "$candidate"; then
  say "up to date"
  finish
  exit
fi

# The newest version whose files the mirror serves (a listed security upload
# may be missing from a partial mirror; then the main archive's one is used).
rm -rf "$work"
mkdir -p "$work/src"
version=""
mapfile -t versions < <(apt-cache showsrc --only-source mariadb | sed -n 's/^Version: //p' | sort -u)
# Newest first (dpkg order, epochs included).
for ((i = 0; i < ${#versions[@]}; i++)); do
  for ((j = i + 1; j < ${#versions[@]}; j++)); do
    if dpkg --compare-versions "${versions[j]}" gt "${versions[i]}"; then
      t=${versions[i]}; versions[i]=${versions[j]}; versions[j]=$t
    fi
  done
done
for v in "${versions[@]}"; do
  say "downloading the source of mariadb $v"
  if (cd "$work" && apt-get source --download-only -qq "mariadb=$v" >download.log 2>&1); then
    version=$v
    break
  fi
  rm -f "$work"/mariadb_*
done
[ -n "$version" ] || { echo "mingw-mariadb: no source download worked, see $work/download.log" >&2; exit 1; }

upstream=${version#*:}
upstream=${upstream%-*}
tarball=""
for f in "$work"/mariadb_"$upstream".orig.tar.*; do
  case $f in *.asc) ;; *) [ -f "$f" ] && tarball=$f ;; esac
done
[ -n "$tarball" ] || { echo "mingw-mariadb: no upstream tarball in $work" >&2; exit 1; }
say "extracting libmariadb/ from $(basename "$tarball")"
tar -xf "$tarball" -C "$work/src" --strip-components=1 --wildcards --no-wildcards-match-slash '*/libmariadb'
src=$work/src/libmariadb
[ -f "$src/CMakeLists.txt" ] || { echo "mingw-mariadb: libmariadb/ missing in the tarball" >&2; exit 1; }

toolchain=$NVD_ROOT/cmake/mingw-w64.cmake
if [ ! -f "$toolchain" ]; then
  toolchain=$out/mingw-w64.cmake
  cat >"$toolchain" <<'EOF'
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(CMAKE_C_COMPILER x86_64-w64-mingw32-gcc-posix)
set(CMAKE_CXX_COMPILER x86_64-w64-mingw32-g++-posix)
set(CMAKE_RC_COMPILER x86_64-w64-mingw32-windres)
set(CMAKE_FIND_ROOT_PATH /usr/x86_64-w64-mingw32)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
EOF
fi

say "configuring (toolchain $toolchain)"
# All plugins STATIC: the client needs no plugin DLL next to NVDevices.dll.
cmake -G Ninja -S "$src" -B "$work/build" -Wno-dev \
  -DCMAKE_TOOLCHAIN_FILE="$toolchain" \
  -DCMAKE_BUILD_TYPE=Release \
  -DCMAKE_INSTALL_PREFIX="$prefix" \
  -DINSTALL_INCLUDEDIR=include -DINSTALL_LIBDIR=lib -DINSTALL_PLUGINDIR=lib/plugin \
  -DWITH_SSL=OFF -DWITH_UNIT_TESTS=OFF -DWITH_CURL=OFF \
  -DWITH_EXTERNAL_ZLIB=OFF \
  -DCLIENT_PLUGIN_DIALOG=STATIC \
  -DCLIENT_PLUGIN_CLIENT_ED25519=STATIC \
  -DCLIENT_PLUGIN_CACHING_SHA2_PASSWORD=STATIC \
  -DCLIENT_PLUGIN_SHA256_PASSWORD=STATIC \
  -DCLIENT_PLUGIN_AUTH_GSSAPI_CLIENT=STATIC \
  -DCLIENT_PLUGIN_MYSQL_CLEAR_PASSWORD=STATIC \
  -DCLIENT_PLUGIN_PVIO_SHMEM=STATIC \
  >"$work/configure.log" 2>&1 || {
  tail -30 "$work/configure.log" >&2
  exit 1
}
# A newer source may add a plugin that defaults to a DLL, or drop the bundled zlib.
if ! grep -qx -- '-- Dynamic PLUGINS *' "$work/configure.log" ||
  ! grep -q -- '-- Zlib support: yes' "$work/configure.log"; then
  echo "mingw-mariadb: a plugin would be a DLL or zlib is missing, see $work/configure.log" >&2
  grep -E -- '-- (Dynamic PLUGINS|Zlib support)' "$work/configure.log" >&2 || true
  exit 1
fi
say "building"
cmake --build "$work/build" -j 2 >"$work/build.log" 2>&1 || {
  tail -40 "$work/build.log" >&2
  exit 1
}
rm -rf "$prefix"
cmake --install "$work/build" >"$work/install.log" 2>&1 || {
  tail -20 "$work/install.log" >&2
  exit 1
}
[ -f "$prefix/lib/libmariadbclient.a" ] || {
  echo "mingw-mariadb: the install has no lib/libmariadbclient.a" >&2
  exit 1
}
# The upstream tarball is large and only needed for a rebuild.
rm -f "$work"/mariadb_*
printf 'version=%s\ncandidate=%s\nrecipe=%s\n' "$version" "$candidate" "$recipe" >"$stamp"
finish
