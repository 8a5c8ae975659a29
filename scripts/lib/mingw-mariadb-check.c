/* Connects with the mingw build of MariaDB Connector/C (see mingw-mariadb.sh)
 * using CLIENT_COMPRESS, prints the server version and fails unless the
 * session really is compressed.
 *   mingw-mariadb-check HOST PORT USER PASSWORD
 * Build: x86_64-w64-mingw32-gcc-posix -static mingw-mariadb-check.c
 *        -I OUTDIR/install/include OUTDIR/install/lib/libmariadbclient.a
 *        -lws2_32 -lshlwapi -lcrypt32 -lbcrypt -lsecur32 -ladvapi32 */
#include <mysql.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

static int query_one(MYSQL *db, const char *sql, int column, char *out, size_t size) {
  MYSQL_RES *res;
  MYSQL_ROW row;
  if (mysql_query(db, sql) != 0 || (res = mysql_store_result(db)) == NULL) {
    fprintf(stderr, "%s: %s\n", sql, mysql_error(db));
    return -1;
  }
  row = mysql_fetch_row(res);
  if (row == NULL || row[column] == NULL) {
    fprintf(stderr, "%s: no row\n", sql);
    mysql_free_result(res);
    return -1;
  }
  snprintf(out, size, "%s", row[column]);
  mysql_free_result(res);
  return 0;
}

int main(int argc, char **argv) {
  MYSQL *db;
  char version[128], compression[16];
  int rc = 1;
  if (argc != 5) {
    fprintf(stderr, "usage: %s HOST PORT USER PASSWORD\n", argv[0]);
    return 2;
  }
  db = mysql_init(NULL);
  if (db == NULL) {
    fprintf(stderr, "mysql_init failed\n");
    return 1;
  }
  if (!mysql_real_connect(db, argv[1], argv[3], argv[4], NULL, (unsigned)atoi(argv[2]), NULL,
                          CLIENT_COMPRESS)) {
    fprintf(stderr, "connect: %s\n", mysql_error(db));
    mysql_close(db);
    return 1;
  }
  if (query_one(db, "select version()", 0, version, sizeof version) == 0 &&
      query_one(db, "show session status like 'Compression'", 1, compression, sizeof compression) == 0) {
    printf("version: %s\ncompression: %s\nclient: %s\n", version, compression, mysql_get_client_info());
    rc = strcmp(compression, "ON") == 0 ? 0 : 1;
    if (rc != 0) fprintf(stderr, "the session is not compressed\n");
  }
  mysql_close(db);
  return rc;
}
