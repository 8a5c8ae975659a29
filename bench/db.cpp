// The MySQL back end against plain MariaDB Connector/C, on the private test
// server (scripts/testdb start; eval "$(scripts/testdb env)"):
// - load: 100 000 rows of int, double, datetime, varchar and blob into a
//   PRecordSet, against mysql_store_result + mysql_fetch_row converting each
//   value to the same C++ types (goal: ratio <= 1.5);
// - bulk save: 100 000 new records with SaveAllRecords (temporary file, table
//   lock, LOAD DATA LOCAL INFILE, unlock, file removed), against the same
//   method written plainly: the same rows, held in plain C++ types, escaped
//   and written to a file in the same format with stdio, the same lock, load
//   and unlock through mysql_real_query, the file removed. Both tables are
//   compared afterwards (CHECKSUM TABLE). Beside it, as information only,
//   the same rows as 100 multi-row INSERT statements of 1 000 rows each;
// - round trip: ExecuteSQL("do 1") (a ping before every statement) against
//   mysql_real_query alone on the same (new) connection.
// Every figure alternates its two sides round by round; the median of the
// round ratios counts. The plain connection uses the library's client flags
// (compression, multiple statements).
#include <mysql.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "base/datetime.h"
#include "bench_rounds.h"
#include "db/mysql/mysql_database.h"
#include "platform/files.h"
#include "platform/system.h"
#include "platform/thread.h"

namespace {

constexpr int kRows = 100000;
constexpr int kInsertBatch = 1000;
constexpr int kLoadRounds = 5;
constexpr int kSaveRounds = 5;
constexpr int kStatementsPerRound = 50;
constexpr int kStatementRounds = 61;
constexpr unsigned char kBlob[16] = {0, 1, 2,  3,  '\'', '\\', '\n', '\r',
                                     8, 9, 10, 11, 12,   13,   14,   0};

struct Server {
  std::string host, user, password, name;
  unsigned port = 0;
};

std::string Env(const char* name) {
  const char* value = std::getenv(name);
  return value != nullptr ? value : "";
}

// One row in plain C++ types.
struct PlainRow {
  int32_t id;
  int32_t i;
  double d;
  double date;
  std::string text;
  std::vector<unsigned char> blob;
};

// A row to save, as a plain program holds it: the date broken down.
struct SaveRow {
  int32_t id;
  int32_t i;
  double d;
  platform::SystemTime date;
  std::string text;
};

double PlainDate(const char* text) {
  platform::SystemTime t;
  unsigned y = 0, mo = 0, d = 0, h = 0, mi = 0, s = 0;
  if (text == nullptr || std::sscanf(text, "%u-%u-%u %u:%u:%u", &y, &mo, &d, &h, &mi, &s) < 3)
    return 0;
  t.year = static_cast<uint16_t>(y), t.month = static_cast<uint16_t>(mo);
  t.day = static_cast<uint16_t>(d), t.hour = static_cast<uint16_t>(h);
  t.minute = static_cast<uint16_t>(mi), t.second = static_cast<uint16_t>(s);
  double ole = 0;
  SystemTimeToOleDate(t, ole);
  return ole;
}

MYSQL* PlainConnect(const Server& server) {
  MYSQL* client = mysql_init(nullptr);
  unsigned int localInfile = 1;
  mysql_options(client, MYSQL_OPT_LOCAL_INFILE, &localInfile);
  if (mysql_real_connect(client, server.host.c_str(), server.user.c_str(), server.password.c_str(),
                         server.name.c_str(), server.port, nullptr, kMySQLClientFlags) == nullptr) {
    std::fprintf(stderr, "bench_db: plain connect failed: %s\n", mysql_error(client));
    mysql_close(client);
    return nullptr;
  }
  return client;
}

bool PlainQuery(MYSQL* client, const std::string& sql) {
  if (mysql_real_query(client, sql.data(), static_cast<unsigned long>(sql.size())) != 0) {
    std::fprintf(stderr, "bench_db: %s\n", mysql_error(client));
    return false;
  }
  return true;
}

// The first value of a statement's first row ("" when there is none).
std::string PlainValue(MYSQL* client, const std::string& sql, int column) {
  std::string value;
  if (!PlainQuery(client, sql)) return value;
  MYSQL_RES* result = mysql_store_result(client);
  if (result == nullptr) return value;
  if (MYSQL_ROW row = mysql_fetch_row(result); row != nullptr && row[column] != nullptr)
    value = row[column];
  mysql_free_result(result);
  return value;
}

double DateOf(int r) {
  return 44000.0 + r / 1440.0;
}

std::string TextOf(int r) {
  return "text value number " + std::to_string(r);
}

// Fills a record set of a bench table with kRows new records.
void FillRecords(PRecordSet& set) {
  for (int r = 0; r < kRows; ++r) {
    auto record = std::make_unique<PRecord>(&set, false);
    record->At(0)->SetLong(r);
    record->At(1)->SetLong(r * 7);
    record->At(2)->SetDouble(r * 0.125);
    record->At(3)->SetDate(DateOf(r));
    record->At(4)->SetText(TextOf(r).c_str());
    record->At(5)->SetRawData(sizeof kBlob, kBlob);
    set.Add(record.release());
  }
}

// The same rows in plain types.
std::vector<SaveRow> PlainRows() {
  std::vector<SaveRow> rows(kRows);
  for (int r = 0; r < kRows; ++r) {
    rows[r].id = r;
    rows[r].i = r * 7;
    rows[r].d = r * 0.125;
    OleDateToSystemTime(DateOf(r), rows[r].date);
    rows[r].text = TextOf(r);
  }
  return rows;
}

double LoadRecordSet(MySQLDataBase& db) {
  uint32_t count = 0;
  const BenchTimer timer;
  {
    PRecordSet set(&db, "bench_load", 4, "select * from bench_load", 0);
    count = set.Count();
  }
  const double seconds = timer.Seconds();
  if (count != kRows) std::fprintf(stderr, "bench_db: loaded %u rows\n", count);
  return count == kRows ? seconds : -1;
}

double LoadPlain(MYSQL* client) {
  // The rows are released inside the timing, as the record set's are.
  const BenchTimer timer;
  size_t count = 0;
  {
    std::vector<PlainRow> rows;
    if (!PlainQuery(client, "select * from bench_load")) return -1;
    MYSQL_RES* result = mysql_store_result(client);
    if (result == nullptr) return -1;
    rows.reserve(mysql_num_rows(result));
    while (MYSQL_ROW row = mysql_fetch_row(result)) {
      const unsigned long* lengths = mysql_fetch_lengths(result);
      PlainRow out;
      out.id = row[0] ? static_cast<int32_t>(std::strtol(row[0], nullptr, 10)) : 0;
      out.i = row[1] ? static_cast<int32_t>(std::strtol(row[1], nullptr, 10)) : 0;
      out.d = row[2] ? std::strtod(row[2], nullptr) : 0;
      out.date = PlainDate(row[3]);
      out.text = row[4] ? row[4] : "";
      if (row[5]) out.blob.assign(row[5], row[5] + lengths[5]);
      rows.push_back(std::move(out));
    }
    mysql_free_result(result);
    count = rows.size();
  }
  const double seconds = timer.Seconds();
  return count == kRows ? seconds : -1;
}

double SaveBulk(MySQLDataBase& db) {
  db.Execute("truncate table bench_save");
  PRecordSet set(&db, "bench_save", 0, "select * from bench_save where 0", 0);
  FillRecords(set);
  MySQLInterface* backEnd = db.ThreadInterface();
  const BenchTimer timer;
  const bool ok = backEnd->SaveAllRecords(&set);
  const double seconds = timer.Seconds();
  if (!ok) std::fprintf(stderr, "bench_db: SaveAllRecords failed: %s\n", backEnd->ErrorText());
  return ok ? seconds : -1;
}

// The bulk file's line of one row: fields escaped as for a quoted SQL
// literal, separated by CR, the line ended by LF (the format SaveAllRecords
// loads with).
void AppendLine(MYSQL* client, const SaveRow& row, const char* escapedBlob, std::string& line,
                std::vector<char>& escaped) {
  char head[96];
  const platform::SystemTime& t = row.date;
  const int length =
      std::snprintf(head, sizeof head, "%d\r%d\r%.17g\r%04u-%02u-%02u %02u:%02u:%02u\r", row.id,
                    row.i, row.d, t.year, t.month, t.day, t.hour, t.minute, t.second);
  line.append(head, static_cast<size_t>(length));
  escaped.resize(2 * row.text.size() + 1);
  const unsigned long written = mysql_real_escape_string(
      client, escaped.data(), row.text.data(), static_cast<unsigned long>(row.text.size()));
  line.append(escaped.data(), written);
  line += '\r';
  line += escapedBlob;
  line += '\n';
}

// The plain side of the bulk save: the same method with Connector/C and
// stdio.
double SavePlainBulk(MYSQL* client, const std::vector<SaveRow>& rows, const std::string& path) {
  PlainQuery(client, "truncate table bench_save");
  const BenchTimer timer;
  char escapedBlob[2 * sizeof kBlob + 1];
  mysql_real_escape_string(client, escapedBlob, reinterpret_cast<const char*>(kBlob), sizeof kBlob);
  FILE* file = std::fopen(path.c_str(), "wb");
  if (file == nullptr) return -1;
  std::string line;
  std::vector<char> escaped;
  bool written = true;
  for (const SaveRow& row : rows) {
    line.clear();
    AppendLine(client, row, escapedBlob, line, escaped);
    written = written && std::fwrite(line.data(), 1, line.size(), file) == line.size();
  }
  written = std::fclose(file) == 0 && written;
  const bool loaded =
      written && PlainQuery(client, "lock tables bench_save write") &&
      PlainQuery(client, "LOAD DATA LOCAL INFILE '" + path +
                             "' into table bench_save FIELDS TERMINATED BY '\\r' LINES "
                             "TERMINATED BY '\\n'");
  const bool unlocked = PlainQuery(client, "unlock tables");
  std::remove(path.c_str());
  const double seconds = timer.Seconds();
  return loaded && unlocked ? seconds : -1;
}

// The same rows as multi-row INSERT statements of kInsertBatch rows each.
double SavePlainInserts(MYSQL* client, const std::vector<SaveRow>& rows) {
  PlainQuery(client, "truncate table bench_save");
  const BenchTimer timer;
  char escapedBlob[2 * sizeof kBlob + 1];
  mysql_real_escape_string(client, escapedBlob, reinterpret_cast<const char*>(kBlob), sizeof kBlob);
  std::string sql;
  std::vector<char> escaped;
  for (int r = 0; r < kRows; r += kInsertBatch) {
    sql = "insert into bench_save values ";
    for (int k = r; k < r + kInsertBatch; ++k) {
      const SaveRow& row = rows[k];
      const platform::SystemTime& t = row.date;
      escaped.resize(2 * row.text.size() + 1);
      mysql_real_escape_string(client, escaped.data(), row.text.data(),
                               static_cast<unsigned long>(row.text.size()));
      char head[128];
      std::snprintf(head, sizeof head, "%s(%d,%d,%.17g,'%04u-%02u-%02u %02u:%02u:%02u','",
                    k == r ? "" : ",", row.id, row.i, row.d, t.year, t.month, t.day, t.hour,
                    t.minute, t.second);
      sql += head;
      sql += escaped.data();
      sql += "','";
      sql += escapedBlob;
      sql += "')";
    }
    if (!PlainQuery(client, sql)) return -1;
  }
  return timer.Seconds();
}

std::string SavedChecksum(MYSQL* client) {
  return PlainValue(client, "checksum table bench_save", 1);
}

bool MeasureLoad(MySQLDataBase& db, MYSQL* plain) {
  RatioRounds load;
  for (int round = 0; round < kLoadRounds; ++round) {
    if (!load.Run([&] { return LoadRecordSet(db); }, [&] { return LoadPlain(plain); })) {
      std::printf("db load: a side failed\n");
      return false;
    }
  }
  load.Report("db load", "PRecordSet", "mysql_store_result+fetch", BenchUnit{1e3, "ms"}, "1.5");
  return true;
}

bool MeasureBulkSave(MySQLDataBase& db, MYSQL* plain) {
  const std::vector<SaveRow> rows = PlainRows();
  const std::string path = platform::TempFolder() + "nvd_bench_bulk_" +
                           std::to_string(platform::CurrentProcessId()) + ".txt";
  RatioRounds bulk;
  std::vector<double> inserts;
  std::string ours, theirs, inserted;
  for (int round = 0; round < kSaveRounds; ++round) {
    const bool ok = bulk.Run(
        [&] {
          const double seconds = SaveBulk(db);
          if (ours.empty()) ours = SavedChecksum(plain);
          return seconds;
        },
        [&] {
          const double seconds = SavePlainBulk(plain, rows, path);
          if (theirs.empty()) theirs = SavedChecksum(plain);
          return seconds;
        });
    const double insert = SavePlainInserts(plain, rows);
    if (inserted.empty()) inserted = SavedChecksum(plain);
    if (!ok || insert < 0) {
      std::printf("db bulk save: a side failed\n");
      return false;
    }
    inserts.push_back(insert);
  }
  if (ours.empty() || ours != theirs || ours != inserted) {
    std::printf("db bulk save: the tables differ (checksums %s, %s, %s)\n", ours.c_str(),
                theirs.c_str(), inserted.c_str());
    return false;
  }
  bulk.Report("db bulk save", "SaveAllRecords", "plain file + LOAD DATA LOCAL INFILE",
              BenchUnit{1e3, "ms"});
  const double insertMedian = RatioRounds::Median(inserts);
  std::printf(
      "db bulk save, for information: %d INSERT statements of %d rows %.1f ms (median of %d); "
      "SaveAllRecords takes %.2f times as long\n",
      kRows / kInsertBatch, kInsertBatch, insertMedian * 1e3, kSaveRounds,
      bulk.Measured() / insertMedian);
  return true;
}

// ExecuteSQL against mysql_real_query on the same new connection (the
// back end's own), so that both sides talk to the same server thread: how
// fast a connection's thread answers varies from connection to connection
// far more than what the library adds.
bool MeasureRoundTrip(const Server& server) {
  MySQLDataBase db(server.name.c_str(), 0x80);
  db.ThreadInterface()->SetOptions("", 0x80);
  if (!db.OpenServer(server.host.c_str(), server.user.c_str(), server.password.c_str(),
                     server.name.c_str(), server.port))
    return false;
  MySQLInterface* backEnd = db.ThreadInterface();
  MYSQL* connection = backEnd->ConnectionHandle();
  RatioRounds roundTrip;
  for (int round = 0; round < kStatementRounds; ++round) {
    const bool ok = roundTrip.Run(
        [&] {
          const BenchTimer timer;
          for (int i = 0; i < kStatementsPerRound; ++i)
            if (!backEnd->ExecuteSQL(nullptr, "do 1")) return -1.0;
          return timer.Seconds();
        },
        [&] {
          const BenchTimer timer;
          for (int i = 0; i < kStatementsPerRound; ++i)
            if (mysql_real_query(connection, "do 1", 4) != 0) return -1.0;
          return timer.Seconds();
        });
    if (!ok) {
      std::printf("db round trip: a statement failed\n");
      return false;
    }
  }
  roundTrip.Report("db round trip", "ExecuteSQL", "mysql_real_query",
                   BenchUnit{1e6 / kStatementsPerRound, "us per statement"});
  return true;
}

}  // namespace

int main() {
  Server server{Env("NVD_TEST_DB_HOST"), Env("NVD_TEST_DB_USER"), Env("NVD_TEST_DB_PASSWORD"),
                Env("NVD_TEST_DB_NAME"),
                static_cast<unsigned>(std::atoi(Env("NVD_TEST_DB_PORT").c_str()))};
  if (server.host.empty() || server.port == 0) {
    const bool ci = Env("CI") == "true";
    std::printf(
        "db: no test database server (scripts/testdb start; eval \"$(scripts/testdb env)\"); "
        "%s\n",
        ci ? "failed" : "skipped");
    return ci ? 1 : 0;
  }
  SetDefaultDbErrorOutput(DefaultDbErrorOutput);
  MySQLDataBase db(server.name.c_str(), 0x80);
  db.ThreadInterface()->SetOptions("", 0x80);
  if (!db.OpenServer(server.host.c_str(), server.user.c_str(), server.password.c_str(),
                     server.name.c_str(), server.port))
    return 1;
  MYSQL* plain = PlainConnect(server);
  if (plain == nullptr) return 1;

  const char* columns =
      "(id int primary key, i int, d double, dt datetime, vc varchar(40), b blob)";
  db.Execute("drop table if exists bench_load");
  db.Execute("drop table if exists bench_save");
  db.Execute("create table bench_load %s", columns);
  db.Execute("create table bench_save %s", columns);
  {
    PRecordSet set(&db, "bench_load", 0, "select * from bench_load where 0", 0);
    FillRecords(set);
    if (!db.ThreadInterface()->SaveAllRecords(&set)) {
      std::fprintf(stderr, "bench_db: cannot fill bench_load: %s\n",
                   db.ThreadInterface()->ErrorText());
      return 1;
    }
  }

  const bool ok = MeasureLoad(db, plain) && MeasureBulkSave(db, plain) && MeasureRoundTrip(server);
  db.Execute("drop table if exists bench_load");
  db.Execute("drop table if exists bench_save");
  mysql_close(plain);
  return ok ? 0 : 1;
}
