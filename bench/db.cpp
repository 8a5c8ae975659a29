// The MySQL back end against plain MariaDB Connector/C, on the private test
// server (scripts/testdb start; eval "$(scripts/testdb env)"):
// - load: 100 000 rows of int, double, datetime, varchar and blob into a
//   PRecordSet, against mysql_store_result + mysql_fetch_row converting each
//   value to the same C++ types (goal: ratio <= 1.5);
// - bulk save: 100 000 new records with SaveAllRecords (temporary file, LOAD
//   DATA LOCAL INFILE, table lock), against multi-row INSERT statements of
//   1 000 rows each;
// - round trip: 10 000 ExecuteSQL("do 1") (a ping before every statement)
//   against mysql_real_query alone.
// Each figure is the best of a few repetitions; the two sides take turns.
#include <mysql.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "base/datetime.h"
#include "db/mysql/mysql_database.h"

namespace {

constexpr int kRows = 100000;
constexpr int kInsertBatch = 1000;
constexpr int kRoundTrips = 10000;
constexpr int kRepetitions = 3;

struct Server {
  std::string host, user, password, name;
  unsigned port = 0;
};

std::string Env(const char* name) {
  const char* value = std::getenv(name);
  return value != nullptr ? value : "";
}

double Seconds(std::chrono::steady_clock::duration d) {
  return std::chrono::duration<double>(d).count();
}

template <typename F>
double Time(F&& f) {
  const auto start = std::chrono::steady_clock::now();
  f();
  return Seconds(std::chrono::steady_clock::now() - start);
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

// Fills a record set of the bench table with kRows new records.
void FillRecords(PRecordSet& set) {
  const unsigned char blob[16] = {0, 1, 2, 3, '\'', '\\', '\n', '\r', 8, 9, 10, 11, 12, 13, 14, 0};
  for (int r = 0; r < kRows; ++r) {
    auto record = std::make_unique<PRecord>(&set, false);
    record->At(0)->SetLong(r);
    record->At(1)->SetLong(r * 7);
    record->At(2)->SetDouble(r * 0.125);
    record->At(3)->SetDate(44000.0 + r / 1440.0);
    record->At(4)->SetText(("text value number " + std::to_string(r)).c_str());
    record->At(5)->SetRawData(sizeof blob, blob);
    set.Add(record.release());
  }
}

double LoadRecordSet(MySQLDataBase& db) {
  uint32_t count = 0;
  const double seconds = Time([&] {
    PRecordSet set(&db, "bench_load", 4, "select * from bench_load", 0);
    count = set.Count();
  });
  if (count != kRows) std::fprintf(stderr, "bench_db: loaded %u rows\n", count);
  return seconds;
}

double LoadPlain(MYSQL* client) {
  // The rows are released inside the timing, as the record set's are.
  return Time([&] {
    std::vector<PlainRow> rows;
    if (!PlainQuery(client, "select * from bench_load")) return;
    MYSQL_RES* result = mysql_store_result(client);
    if (result == nullptr) return;
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
  });
}

double SaveBulk(MySQLDataBase& db) {
  db.Execute("truncate table bench_save");
  PRecordSet set(&db, "bench_save", 0, "select * from bench_save where 0", 0);
  FillRecords(set);
  MySQLInterface* backEnd = db.ThreadInterface();
  bool ok = false;
  const double seconds = Time([&] { ok = backEnd->SaveAllRecords(&set); });
  if (!ok) std::fprintf(stderr, "bench_db: SaveAllRecords failed: %s\n", backEnd->ErrorText());
  return seconds;
}

double SavePlain(MYSQL* client) {
  PlainQuery(client, "truncate table bench_save");
  const unsigned char blob[16] = {0, 1, 2, 3, '\'', '\\', '\n', '\r', 8, 9, 10, 11, 12, 13, 14, 0};
  char escapedBlob[2 * sizeof blob + 1];
  return Time([&] {
    std::string sql;
    for (int r = 0; r < kRows; r += kInsertBatch) {
      sql = "insert into bench_save values ";
      for (int k = r; k < r + kInsertBatch; ++k) {
        const std::string text = "text value number " + std::to_string(k);
        std::vector<char> escapedText(2 * text.size() + 1);
        mysql_real_escape_string(client, escapedText.data(), text.data(),
                                 static_cast<unsigned long>(text.size()));
        mysql_real_escape_string(client, escapedBlob, reinterpret_cast<const char*>(blob),
                                 sizeof blob);
        const PStr date = VariantDateText(44000.0 + k / 1440.0, false);
        char head[128];
        std::snprintf(head, sizeof head, "%s(%d,%d,%.17g,'%s','", k == r ? "" : ",", k, k * 7,
                      k * 0.125, date.c_str());
        sql += head;
        sql += escapedText.data();
        sql += "','";
        sql += escapedBlob;
        sql += "')";
      }
      if (!PlainQuery(client, sql)) return;
    }
  });
}

}  // namespace

int main() {
  Server server{Env("NVD_TEST_DB_HOST"), Env("NVD_TEST_DB_USER"), Env("NVD_TEST_DB_PASSWORD"),
                Env("NVD_TEST_DB_NAME"),
                static_cast<unsigned>(std::atoi(Env("NVD_TEST_DB_PORT").c_str()))};
  if (server.host.empty() || server.port == 0) {
    std::printf(
        "db: skipped, no test database server (scripts/testdb start; "
        "eval \"$(scripts/testdb env)\")\n");
    return Env("CI") == "true" ? 1 : 0;
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

  double bestSet = 1e9, bestPlain = 1e9;
  for (int r = 0; r < kRepetitions; ++r) {
    if (r % 2 == 0) {
      bestPlain = std::min(bestPlain, LoadPlain(plain));
      bestSet = std::min(bestSet, LoadRecordSet(db));
    } else {
      bestSet = std::min(bestSet, LoadRecordSet(db));
      bestPlain = std::min(bestPlain, LoadPlain(plain));
    }
  }
  std::printf("db load: ratio %.2f (PRecordSet %.1f ms, plain Connector/C %.1f ms, %d rows)\n",
              bestSet / bestPlain, bestSet * 1e3, bestPlain * 1e3, kRows);

  double bestBulk = 1e9, bestInsert = 1e9;
  for (int r = 0; r < 2; ++r) {
    bestInsert = std::min(bestInsert, SavePlain(plain));
    bestBulk = std::min(bestBulk, SaveBulk(db));
  }
  std::printf(
      "db bulk save: ratio %.2f (SaveAllRecords %.1f ms, INSERT of %d rows %.1f ms, %d "
      "rows)\n",
      bestBulk / bestInsert, bestBulk * 1e3, kInsertBatch, bestInsert * 1e3, kRows);

  MySQLInterface* backEnd = db.ThreadInterface();
  double bestExecute = 1e9, bestQuery = 1e9;
  for (int r = 0; r < kRepetitions; ++r) {
    bestExecute = std::min(bestExecute, Time([&] {
                             for (int i = 0; i < kRoundTrips; ++i)
                               backEnd->ExecuteSQL(nullptr, "do 1");
                           }));
    bestQuery = std::min(bestQuery, Time([&] {
                           for (int i = 0; i < kRoundTrips; ++i)
                             mysql_real_query(plain, "do 1", 4);
                         }));
  }
  std::printf(
      "db round trip: ratio %.2f (ExecuteSQL %.1f us, mysql_real_query %.1f us per "
      "statement)\n",
      bestExecute / bestQuery, bestExecute * 1e6 / kRoundTrips, bestQuery * 1e6 / kRoundTrips);

  db.Execute("drop table if exists bench_load");
  db.Execute("drop table if exists bench_save");
  mysql_close(plain);
  return 0;
}
