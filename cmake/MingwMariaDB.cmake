# MariaDB::Client for the mingw-w64 cross build: the static Connector/C that
# scripts/lib/mingw-mariadb.sh installs (all client plugins and zlib built in).
# Set NVD_MINGW_MARIADB_DIR to its install folder (default
# build/mingw-mariadb/install) before including this file.
if(NOT NVD_MINGW_MARIADB_DIR)
  set(NVD_MINGW_MARIADB_DIR "${CMAKE_SOURCE_DIR}/build/mingw-mariadb/install"
      CACHE PATH "Install folder of scripts/lib/mingw-mariadb.sh")
endif()

set(_nvd_mariadb_lib "${NVD_MINGW_MARIADB_DIR}/lib/libmariadbclient.a")
set(_nvd_mariadb_inc "${NVD_MINGW_MARIADB_DIR}/include")
if(NOT EXISTS "${_nvd_mariadb_lib}" OR NOT EXISTS "${_nvd_mariadb_inc}/mysql.h")
  message(FATAL_ERROR "No mingw MariaDB Connector/C in ${NVD_MINGW_MARIADB_DIR}; "
                      "run scripts/lib/mingw-mariadb.sh first")
endif()

if(NOT TARGET MariaDB::Client)
  add_library(MariaDB::Client STATIC IMPORTED)
  set_target_properties(MariaDB::Client PROPERTIES
    IMPORTED_LOCATION "${_nvd_mariadb_lib}"
    IMPORTED_LINK_INTERFACE_LANGUAGES C
    INTERFACE_INCLUDE_DIRECTORIES "${_nvd_mariadb_inc}"
    # ws2_32 sockets, shlwapi paths, crypt32/bcrypt/advapi32 the RSA and hash
    # code of the sha256/caching_sha2/ed25519 plugins, secur32 SSPI (gssapi).
    INTERFACE_LINK_LIBRARIES "ws2_32;shlwapi;crypt32;bcrypt;secur32;advapi32")
endif()
unset(_nvd_mariadb_lib)
unset(_nvd_mariadb_inc)
