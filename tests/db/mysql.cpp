// The MySQL back end end to end, against the private test server.
#include "db/mysql/mysql_database.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdarg>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "base/datetime.h"
#include "base/files.h"
#include "base/format.h"
#include "base/log.h"
#include "db/support/db_test_support.h"
#include "platform/system.h"

namespace {

std::mutex g_logLock;
std::vector<std::string> g_log;

void CaptureLog(const char* format, va_list args) {
  char buffer[8192];
  std::vsnprintf(buffer, sizeof buffer, format, args);
  std::lock_guard<std::mutex> lock(g_logLock);
  g_log.emplace_back(buffer);
}

// Every byte value 1-255 (text cannot hold NUL) with quotes, backslashes, CR
// and LF among them.
std::string AllTextBytes() {
  std::string text;
  for (int i = 1; i < 256; ++i)
    text.push_back(static_cast<char>(i));
  return text + "'\"\\\r\n'";
}

std::string AllRawBytes() {
  std::string raw;
  for (int i = 0; i < 256; ++i)
    raw.push_back(static_cast<char>(i));
  return raw + std::string("\0'\\\r\n\x1a", 6);
}

std::string RawOf(const PField* field) {
  const auto& data = field->GetRawData();
  return std::string(reinterpret_cast<const char*>(data.Data()), data.Count());
}

class MySQLTest : public ::testing::Test {
 protected:
  void SetUp() override {
    NVD_REQUIRE_TEST_SERVER(server_);
    ClearCapturedMessages();
    previousHook_ = SetPrintHook(CaptureLog);
    ClearLog();
    db_ = std::make_unique<MySQLDataBase>(server_.name.c_str(), 0x80);
    db_->ErrorOutput = CaptureOutput;
    Interface()->SetOptions("", 0x80);
    ASSERT_TRUE(Open()) << Messages();
    ASSERT_TRUE(db_->IsOpen());
  }
  void TearDown() override {
    db_.reset();
    if (previousHook_ != nullptr) SetPrintHook(previousHook_);
  }

  bool Open() {
    return db_->OpenServer(server_.host.c_str(), server_.user.c_str(), server_.password.c_str(),
                           server_.name.c_str(), server_.port);
  }
  MySQLInterface* Interface() { return db_->ThreadInterface(); }
  void Exec(const std::string& sql) { ASSERT_TRUE(db_->Execute("%s", sql.c_str())) << Messages(); }
  // A fresh table of the test's own.
  void Table(const char* name, const std::string& columns) {
    Exec(std::string("drop table if exists ") + name);
    Exec(std::string("create table ") + name + " (" + columns + ") character set utf8mb4");
  }
  static std::string Messages() {
    std::string all;
    for (const auto& m : CapturedMessages())
      all += m + "\n";
    return all;
  }
  static void ClearLog() {
    std::lock_guard<std::mutex> lock(g_logLock);
    g_log.clear();
  }
  static std::vector<std::string> Log() {
    std::lock_guard<std::mutex> lock(g_logLock);
    return g_log;
  }
  static bool Logged(const std::string& text) {
    for (const auto& line : Log())
      if (line == text) return true;
    return false;
  }

  TestServer server_;
  std::unique_ptr<MySQLDataBase> db_;
  PrintHookFn previousHook_ = nullptr;
};

}  // namespace

TEST_F(MySQLTest, ConnectionAndScalarQueries) {
  EXPECT_TRUE(Interface()->Connect("ignored", "ignored", "", "", 1));  // already connected
  EXPECT_STREQ(Interface()->Host(), server_.host.c_str());
  EXPECT_EQ(Interface()->Port(), server_.port);
  EXPECT_EQ(db_->Connection(), Interface()->ConnectionHandle());
  EXPECT_TRUE(db_->TableExists("Norvane"));
  EXPECT_FALSE(db_->TableExists("NoSuchTable"));
  // Caller text cannot change the statement.
  EXPECT_FALSE(db_->TableExists("x' OR '1'='1"));

  EXPECT_EQ(Interface()->QueryInteger(nullptr, "select 42"), 42);
  EXPECT_EQ(Interface()->QueryInteger(nullptr, "select '0x10'"), 16);
  EXPECT_EQ(Interface()->QueryInteger(nullptr, "select null"), 0);
  EXPECT_EQ(Interface()->QueryInteger(nullptr, "select 1 union select 2"), 0);
  EXPECT_STREQ(Interface()->ErrorText(), "Query did not produce a result");
  EXPECT_EQ(Interface()->QueryInteger(nullptr, "select 1, 2"), 0);
  EXPECT_STREQ(Interface()->ErrorText(), "Number of fields in result != 1");
  EXPECT_EQ(Interface()->QueryInteger(nullptr, "select nonsense from nowhere"), 0);
  EXPECT_EQ(std::string(Interface()->ErrorText()).find("mysql_query(): "), 0u);

  Table("t_count", "a int");
  Exec("insert into t_count values (1), (1), (2)");
  Interface()->SetTraceBits(MSSQLInterface::kTraceStatements);
  ClearLog();
  EXPECT_EQ(Interface()->CountRecords(nullptr, "t_count", "WHERE a=1"), 2u);
  EXPECT_TRUE(Logged("SELECT COUNT(*) FROM t_count WHERE a=1\n"));
  EXPECT_EQ(Interface()->CountRecords(nullptr, "t_count", ""), 3u);
  EXPECT_GE(Interface()->StatementCount(), 2u);

  // A select run through Execute leaves no result in the way of the next
  // statement.
  Exec("select * from t_count");
  EXPECT_EQ(Interface()->QueryInteger(nullptr, "select 7"), 7);
  EXPECT_TRUE(db_->BeginTrans());
  EXPECT_TRUE(db_->Rollback());
}

TEST_F(MySQLTest, ColumnNamesTypesAndNulls) {
  Table("t_types",
        "k int primary key, ti tinyint, si smallint, mi mediumint, i int, bi bigint, "
        "f float, d double, dec1 decimal(10,2), dt datetime, da date, vc varchar(20), tx text, "
        "bl blob, b1 bit(1), b12 bit(12), b40 bit(40), js json, en enum('a','b'), "
        "tb text collate utf8mb4_bin, dt6 datetime(6), tm time");
  Exec(
      "insert into t_types values (1, -5, 300, 70000, -2000000000, 2000000001, 1.5, 2.25, "
      "3.75, '2021-03-04 05:06:07', '2021-03-04', 'hello', 'long text', 'bytes', b'1', "
      "b'101010101010', b'1000000000000000000000000000000000000001', '{\"a\": 1}', 'b', 'bin "
      "text', '2021-03-04 05:06:07.250000', '12:34:56')");
  Exec("insert into t_types (k) values (2)");
  PRecordSet set(db_.get(), "t_types", 1, nullptr, 0);
  ASSERT_EQ(set.Count(), 2u) << Messages();
  const struct {
    const char* name;
    uint32_t type;
  } expected[] = {{"ti", dbLong},       {"si", dbLong},  {"mi", dbLong},  {"i", dbLong},
                  {"bi", dbLong},       {"f", dbSingle}, {"d", dbDouble}, {"dec1", dbSingle},
                  {"dt", dbDate},       {"da", dbDate},  {"vc", dbText},  {"tx", dbText},
                  {"bl", dbLongBinary}, {"b1", dbLong},  {"b12", dbLong}, {"b40", dbBigInt},
                  {"js", dbText},       {"en", dbText}};
  for (const auto& e : expected) {
    const int32_t index = set.ColumnIndex(e.name);
    ASSERT_GE(index, 0) << e.name;
    EXPECT_EQ(set.Column(static_cast<uint32_t>(index))->type, e.type) << e.name;
  }
  EXPECT_TRUE(set.Column(0)->flags & kColumnPrimaryKey);
  PRecord* row = set[0];
  EXPECT_EQ(row->FieldByName("ti")->GetLong(), -5);
  EXPECT_EQ(row->FieldByName("si")->GetLong(), 300);
  EXPECT_EQ(row->FieldByName("mi")->GetLong(), 70000);
  EXPECT_EQ(row->FieldByName("i")->GetLong(), -2000000000);
  EXPECT_EQ(row->FieldByName("bi")->GetLong(), 2000000001);
  EXPECT_EQ(row->FieldByName("f")->GetSingle(), 1.5f);
  EXPECT_EQ(row->FieldByName("d")->GetDouble(), 2.25);
  EXPECT_EQ(row->FieldByName("dec1")->GetSingle(), 3.75f);
  EXPECT_DOUBLE_EQ(row->GetFieldDate("dt"), OleDate(2021, 3, 4, 5, 6, 7));
  EXPECT_DOUBLE_EQ(row->GetFieldDate("da"), OleDate(2021, 3, 4, 0, 0, 0));
  EXPECT_STREQ(row->GetFieldText("vc"), "hello");
  EXPECT_STREQ(row->GetFieldText("tx"), "long text");
  EXPECT_EQ(RawOf(row->FieldByName("bl")), "bytes");
  EXPECT_EQ(row->FieldByName("b1")->GetLong(), 1);
  EXPECT_EQ(row->FieldByName("b12")->GetLong(), 0xAAA);
  EXPECT_EQ(row->FieldByName("b40")->GetBigInt(), (int64_t{1} << 39) + 1);
  EXPECT_STREQ(row->GetFieldText("js"), "{\"a\": 1}");
  EXPECT_STREQ(row->GetFieldText("en"), "b");
  EXPECT_STREQ(row->GetFieldText("tb"), "bin text");
  EXPECT_DOUBLE_EQ(row->GetFieldDate("dt6"), OleDate(2021, 3, 4, 5, 6, 7));  // fraction dropped
  EXPECT_EQ(row->GetFieldDate("tm"), 0.0);  // a time of day alone is no date
  for (uint32_t i = 0; i < row->Count(); ++i)
    EXPECT_FALSE(row->At(i)->IsModified()) << i;
  EXPECT_FALSE(row->IsNew());

  PRecord* nulls = set[1];
  EXPECT_EQ(nulls->FieldByName("ti")->GetLong(), 0);
  EXPECT_EQ(nulls->FieldByName("d")->GetDouble(), 0.0);
  EXPECT_EQ(nulls->GetFieldDate("dt"), 0.0);
  EXPECT_STREQ(nulls->GetFieldText("vc"), "");
  EXPECT_EQ(nulls->FieldByName("bl")->GetRawData().Count(), 0u);
  for (uint32_t i = 0; i < nulls->Count(); ++i)
    EXPECT_FALSE(nulls->At(i)->IsModified()) << i;

  PRecordSet named(db_.get(), "", 0, "select 1 as id, 2 as id, 3 as id, 4 as id_1", 0);
  ASSERT_EQ(named.ColumnCount(), 4u);
  EXPECT_STREQ(named.Column(0)->name, "id");
  EXPECT_STREQ(named.Column(1)->name, "id_1");
  EXPECT_STREQ(named.Column(2)->name, "id_2");
  EXPECT_STREQ(named.Column(3)->name, "id_1_1");

  PRecordSet none(db_.get(), "t_types", 0, "select * from t_types where k = 99", 0);
  EXPECT_EQ(none.Count(), 0u);
  EXPECT_GT(none.ColumnCount(), 0u);
  EXPECT_TRUE(CapturedMessages().empty()) << Messages();

  PRecordSet columnsOnly(db_.get(), "t_types", 0, "ignored", PRecordSet::kColumnsOnly);
  EXPECT_EQ(columnsOnly.ColumnCount(), set.ColumnCount());
  EXPECT_EQ(columnsOnly.Count(), 0u);

  PRecordSet failed(db_.get(), "t_types", 0, "select * from missing_table", 0);
  ASSERT_EQ(CapturedMessages().size(), 1u);
  const std::string prefix =
      "[Database \"" + server_.name + "\"]: Cannot create recordset: query: ";
  EXPECT_EQ(CapturedMessages()[0].find(prefix), 0u) << CapturedMessages()[0];
}

TEST_F(MySQLTest, MoveFillRecordAndRawDataQueries) {
  Table("t_move", "k int primary key, b longblob");
  Exec("insert into t_move values (1, 'one'), (2, 'two'), (3, 'three')");
  PRecordSet set(db_.get(), "t_move", 0, "select * from t_move order by k", PRecordSet::kNoLoad);
  MySQLInterface* backEnd = Interface();
  EXPECT_EQ(backEnd->Move(set.Handle(), 1), 1);
  EXPECT_EQ(backEnd->Move(set.Handle(), 2), 1);
  PRecord record(&set, false);
  EXPECT_TRUE(backEnd->FillRecord(&record));
  EXPECT_EQ(record[0]->GetLong(), 3);
  EXPECT_FALSE(record.IsNew());
  EXPECT_EQ(backEnd->Move(set.Handle(), 2), 0);
  EXPECT_EQ(set.MoveFirst(), 1);
  EXPECT_EQ(backEnd->Move(set.Handle(), 7), 2);
  EXPECT_EQ(backEnd->Move(&record, 0), 2);  // not a handle of this interface
  EXPECT_STREQ(backEnd->ErrorText(), "Invalid record set parameter");

  // Raw bytes that are already there are not fetched again.
  PRawDataField complete(3, "abc");
  const uint32_t before = backEnd->StatementCount();
  backEnd->QueryRawData(nullptr, &complete, "select b from t_move where k = 2");
  EXPECT_EQ(backEnd->StatementCount(), before);
  PRawDataField pending;
  pending.SetDataSizeOnly(3);
  backEnd->QueryRawData(nullptr, &pending, "select b from t_move where k = 2");
  EXPECT_EQ(backEnd->StatementCount(), before + 1);
  EXPECT_EQ(RawOf(&pending), "two");
  PRawDataField many;
  many.SetDataSizeOnly(1);
  backEnd->QueryRawData(nullptr, &many, "select b from t_move");
  EXPECT_STREQ(backEnd->ErrorText(), "Query did not produce a result");
  EXPECT_EQ(many.AllocSize(), 0u);
}

TEST_F(MySQLTest, SaveRecordInsertsAndUpdatesEveryByte) {
  Table("t_save",
        "id int auto_increment primary key, name varbinary(600), data longblob, "
        "d datetime, f double, sf float");
  PRecordSet set(db_.get(), "t_save", 0, "select * from t_save", 0);
  ASSERT_EQ(set.ColumnCount(), 6u);
  EXPECT_TRUE(set.Column(0)->flags & kColumnAutoIncrement);
  const std::string text = AllTextBytes();
  const std::string raw = AllRawBytes();
  auto record = std::make_unique<PRecord>(&set, false);
  record->At(1)->SetText(text.c_str());
  record->At(2)->SetRawData(static_cast<uint32_t>(raw.size()), raw.data());
  record->At(3)->SetDate(OleDate(2021, 3, 4, 5, 6, 7));
  record->At(4)->SetDouble(1e-30);
  record->At(5)->SetSingle(2.5f);
  MySQLInterface* backEnd = Interface();
  backEnd->SetTraceBits(MSSQLInterface::kTraceStatements);
  ASSERT_TRUE(backEnd->SaveRecord(&set, record.get())) << backEnd->ErrorText();
  const int32_t id = record->At(0)->GetLong();
  EXPECT_GT(id, 0);
  EXPECT_FALSE(record->IsNew());
  // The statement names every column but the auto-increment one, and the
  // quote in the text went escaped.
  bool sawInsert = false;
  for (const auto& line : Log()) {
    if (line.rfind("insert into t_save(name,data,d,f,sf) values(", 0) == 0) {
      sawInsert = true;
      EXPECT_NE(line.find("\\'\\\"\\\\\\r\\n\\'"), std::string::npos);
    }
  }
  EXPECT_TRUE(sawInsert);
  set.Add(record.release());

  PRecordSet back(db_.get(), "t_save", 0, "select * from t_save", 0);
  ASSERT_EQ(back.Count(), 1u);
  EXPECT_EQ(std::string(back[0]->At(1)->GetText()), text);
  EXPECT_EQ(RawOf(back[0]->At(2)), raw);
  EXPECT_DOUBLE_EQ(back[0]->At(3)->GetDate(), OleDate(2021, 3, 4, 5, 6, 7));
  EXPECT_EQ(back[0]->At(4)->GetDouble(), 1e-30);
  EXPECT_EQ(back[0]->At(5)->GetSingle(), 2.5f);

  // Update: only modified fields are written; the key condition uses the
  // current key value.
  PRecord* loaded = back[0];
  std::string reversed(text.rbegin(), text.rend());
  loaded->At(1)->SetText(reversed.c_str());
  loaded->At(2)->SetRawData(0, nullptr);
  ClearLog();
  ASSERT_TRUE(backEnd->SaveRecord(&back, loaded)) << backEnd->ErrorText();
  bool sawUpdate = false;
  for (const auto& line : Log()) {
    if (line.rfind("update t_save set name=", 0) == 0) {
      sawUpdate = true;
      EXPECT_NE(line.find(",data='' where id=" + std::to_string(id) + "\n"), std::string::npos)
          << line;
      EXPECT_EQ(line.find("d='"), std::string::npos);  // unmodified
    }
  }
  EXPECT_TRUE(sawUpdate);
  PRecordSet again(db_.get(), "t_save", 0, "select * from t_save", 0);
  ASSERT_EQ(again.Count(), 1u);
  EXPECT_EQ(std::string(again[0]->At(1)->GetText()), reversed);
  EXPECT_EQ(again[0]->At(2)->GetRawData().Count(), 0u);

  // Nothing modified: "update t_save set  where ..." is rejected.
  EXPECT_FALSE(backEnd->SaveRecord(&again, again[0]));
  EXPECT_EQ(std::string(backEnd->ErrorText()).find("mysql_query(): "), 0u);
  // A modified key is not written; the condition uses its new value.
  again[0]->At(0)->SetLong(id + 100);
  again[0]->At(4)->SetDouble(5.0);
  ClearLog();
  EXPECT_TRUE(backEnd->SaveRecord(&again, again[0]));
  EXPECT_TRUE(Logged("update t_save set f=5 where id=" + std::to_string(id + 100) + "\n"));
  EXPECT_EQ(backEnd->AffectedRows(), 0u);

  // A record set of another interface is refused.
  MySQLInterface stranger;
  EXPECT_FALSE(stranger.SaveRecord(&again, again[0]));
  EXPECT_STREQ(stranger.ErrorText(), "Invalid record set parameter");

  Table("t_nokey", "a int");
  Exec("insert into t_nokey values (1)");
  PRecordSet nokey(db_.get(), "t_nokey", 0, "select * from t_nokey", 0);
  ASSERT_EQ(nokey.Count(), 1u);
  nokey[0]->At(0)->SetLong(2);
  EXPECT_FALSE(backEnd->SaveRecord(&nokey, nokey[0]));
  EXPECT_STREQ(backEnd->ErrorText(), "No primary keys in table t_nokey, cannot update row");
}

TEST_F(MySQLTest, SaveAllRecordsLoadsThroughAFile) {
  Table("t_bulk", "k int primary key, name varbinary(600), data longblob, d datetime, f double");
  const std::string text = AllTextBytes();
  const std::string raw = AllRawBytes();
  for (uint32_t flags : {0u, static_cast<uint32_t>(PRecordSet::kNoLock)}) {
    Exec("delete from t_bulk");
    PRecordSet set(db_.get(), "t_bulk", 0, "select * from t_bulk", flags);
    for (int i = 0; i < 50; ++i) {
      auto record = std::make_unique<PRecord>(&set, false);
      record->At(0)->SetLong(i);
      record->At(1)->SetText((text + std::to_string(i)).c_str());
      record->At(2)->SetRawData(static_cast<uint32_t>(raw.size()), raw.data());
      record->At(3)->SetDate(OleDate(2021, 3, 4, 5, 6, i % 60));
      record->At(4)->SetDouble(i + 0.25);
      set.Add(record.release());
    }
    MySQLInterface* backEnd = Interface();
    backEnd->SetTraceBits(MSSQLInterface::kTraceStatements);
    ClearLog();
    ASSERT_TRUE(backEnd->SaveAllRecords(&set)) << backEnd->ErrorText();
    EXPECT_FALSE(set[0]->IsNew());
    EXPECT_EQ(Logged("lock tables t_bulk write\n"), flags == 0);
    EXPECT_EQ(Logged("unlock tables\n"), flags == 0);
    bool sawLoad = false;
    for (const auto& line : Log()) {
      if (line.rfind("LOAD DATA LOCAL INFILE '", 0) == 0) {
        sawLoad = true;
        EXPECT_NE(line.find("' into table t_bulk FIELDS TERMINATED BY '\r' LINES TERMINATED BY "
                            "'\n'"),
                  std::string::npos);
      }
    }
    EXPECT_TRUE(sawLoad);

    PRecordSet back(db_.get(), "t_bulk", 0, "select * from t_bulk order by k", 0);
    ASSERT_EQ(back.Count(), 50u);
    for (int i = 0; i < 50; ++i) {
      PRecord* row = back[static_cast<uint32_t>(i)];
      EXPECT_EQ(std::string(row->At(1)->GetText()), text + std::to_string(i));
      EXPECT_EQ(RawOf(row->At(2)), raw);
      // The dates were written without their quotes, so they loaded.
      EXPECT_DOUBLE_EQ(row->At(3)->GetDate(), OleDate(2021, 3, 4, 5, 6, i % 60));
      EXPECT_EQ(row->At(4)->GetDouble(), i + 0.25);
    }
  }
  // A failing load is reported, the unlock still runs and keeps the error.
  PRecordSet dup(db_.get(), "t_bulk", 0, "select * from t_bulk", PRecordSet::kNoLoad);
  PRecordSet missing(db_.get(), "t_gone", 0, "select 1 as k", PRecordSet::kNoLoad);
  auto record = std::make_unique<PRecord>(&missing, false);
  missing.Add(record.release());
  ClearLog();
  EXPECT_FALSE(Interface()->SaveAllRecords(&missing));
  EXPECT_EQ(std::string(Interface()->ErrorText()).find("mysql_query(): "), 0u);
  EXPECT_TRUE(missing[0]->IsNew());
  PRecordSet empty(db_.get(), "t_bulk", 0, "select * from t_bulk where 0", 0);
  EXPECT_TRUE(Interface()->SaveAllRecords(&empty));
}

TEST_F(MySQLTest, BulkLinesHoldEscapedValuesWithoutQuotes) {
  Table("t_line", "k int, t varchar(20), d datetime, b longblob, e longblob, f double");
  PRecordSet set(db_.get(), "t_line", 0, "select * from t_line", PRecordSet::kNoLoad);
  PRecord record(&set, false);
  record[0]->SetLong(-7);
  record[1]->SetText("a'b\r\n\\");
  record[2]->SetDate(OleDate(2021, 3, 4, 5, 6, 7));
  record[3]->SetRawData(3, "\0x'");
  record[5]->SetDouble(0.5);
  std::string line;
  Interface()->AppendBulkLine(line, record, set.ColumnCount());
  EXPECT_EQ(line, std::string("-7\ra\\'b\\r\\n\\\\\r2021-03-04 05:06:07\r\\0x\\'\r\r0.5\n"));
}

TEST_F(MySQLTest, Utf8OptionKeepsFourByteCharacters) {
  Table("t_utf8", "k int primary key, t varchar(40)");
  MySQLDataBase utf8(server_.name.c_str(), 0x88);
  utf8.ErrorOutput = CaptureOutput;
  utf8.ThreadInterface()->SetOptions("", 0x88);
  ASSERT_TRUE(utf8.OpenServer(server_.host.c_str(), server_.user.c_str(), server_.password.c_str(),
                              server_.name.c_str(), server_.port));
  const char* text =
      "\xC3\x9C"
      "ber \xF0\x9F\x98\x80 \xD0\xB4";  // Über, an emoji, Cyrillic
  PRecordSet set(&utf8, "t_utf8", 0, "select * from t_utf8", 0);
  auto record = std::make_unique<PRecord>(&set, false);
  record->At(0)->SetLong(1);
  record->At(1)->SetText(text);
  ASSERT_TRUE(utf8.ThreadInterface()->SaveRecord(&set, record.get()))
      << utf8.ThreadInterface()->ErrorText();
  PRecordSet back(&utf8, "t_utf8", 0, "select * from t_utf8", 0);
  ASSERT_EQ(back.Count(), 1u);
  EXPECT_STREQ(back[0]->At(1)->GetText(), text);
  EXPECT_EQ(utf8.ThreadInterface()->QueryInteger(nullptr, "select char_length(t) from t_utf8"), 8);
}

TEST_F(MySQLTest, AddressesAndUnreachableServers) {
  // The user part escaped: %6D is "m".
  const std::string address = "https://%6Dysql:" + server_.password + "@" + server_.host + ":" +
                              std::to_string(server_.port) + "/ignored/path";
  MySQLDataBase byAddress("", 0x80);
  byAddress.ErrorOutput = CaptureOutput;
  ASSERT_TRUE(byAddress.OpenAtAddress(address.c_str(), server_.name.c_str())) << Messages();
  EXPECT_TRUE(byAddress.IsOpen());
  EXPECT_STREQ(byAddress.Text(), server_.name.c_str());
  EXPECT_STREQ(byAddress.ThreadInterface()->User(), "mysql");

  MySQLDataBase noHost("X", 0x80);
  EXPECT_FALSE(noHost.OpenAtAddress("https://", "X"));
  EXPECT_FALSE(noHost.IsOpen());

  // A closed port on loopback: refused at once, with the specified texts.
  MySQLDataBase unreachable("Nowhere", 0x80);
  unreachable.ErrorOutput = CaptureOutput;
  ClearCapturedMessages();
  const auto start = std::chrono::steady_clock::now();
  EXPECT_FALSE(unreachable.OpenServer("127.0.0.1", "mysql", "x", "nvdtest", 1));
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(10));
  EXPECT_FALSE(unreachable.IsOpen());
  ASSERT_EQ(CapturedMessages().size(), 1u);
  EXPECT_EQ(CapturedMessages()[0].find(
                "[Database \"nvdtest\"]: Can't open database: MySQL connection failed: "),
            0u)
      << CapturedMessages()[0];
  EXPECT_FALSE(unreachable.Execute("select 1"));
  EXPECT_EQ(CapturedMessages().back(), "Database is not open");

  // Wrong password.
  MySQLDataBase refused("R", 0x80);
  refused.ErrorOutput = CaptureOutput;
  EXPECT_FALSE(refused.OpenServer(server_.host.c_str(), "mysql", "wrong", server_.name.c_str(),
                                  server_.port));
  EXPECT_NE(CapturedMessages().back().find("Access denied"), std::string::npos);
}

TEST_F(MySQLTest, EachThreadHasItsOwnInterface) {
  MySQLInterface* mine = Interface();
  MySQLInterface* theirs = nullptr;
  bool theirsOpen = true;
  std::thread other([&] {
    theirs = db_->ThreadInterface();
    theirsOpen = db_->IsOpen();
  });
  other.join();
  EXPECT_NE(mine, theirs);
  EXPECT_FALSE(theirsOpen);
  EXPECT_EQ(db_->InterfaceCount(), 2u);
  EXPECT_EQ(db_->ThreadInterface(), mine);

  // Several threads at once, each with its own connection.
  std::vector<std::thread> threads;
  std::vector<int32_t> results(4, -1);
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&, t] {
      MySQLInterface* own = db_->ThreadInterface();
      own->SetOptions("", 0x80);
      if (own->Connect(server_.host.c_str(), server_.user.c_str(), server_.password.c_str(),
                       server_.name.c_str(), server_.port))
        results[t] = own->QueryInteger(nullptr, Format("select %d", t + 10));
      own->CloseConnection();
    });
  }
  for (auto& thread : threads)
    thread.join();
  for (int t = 0; t < 4; ++t)
    EXPECT_EQ(results[t], t + 10);
  EXPECT_EQ(Interface()->QueryInteger(nullptr, "select 5"), 5);
}

TEST_F(MySQLTest, DisconnectDestroysRecordSets) {
  PRecordSet set(db_.get(), "", 0, "select 1", PRecordSet::kNoLoad);
  EXPECT_EQ(Interface()->RecordSetCount(), 1u);
  db_->CloseDatabase();
  EXPECT_FALSE(db_->IsOpen());
  EXPECT_EQ(Interface()->RecordSetCount(), 0u);
  // The record set's handle is gone: its destruction reports so.
  ClearCapturedMessages();
}

TEST_F(MySQLTest, SettingsFileGivesTheConnection) {
  PTempFile ini;
  {
    PTextFile file(ini.Path(), PTextFile::kWrite);
    ASSERT_TRUE(file.IsOpen());
    file.Print("[Options]\nhost=%s\nuser=%s\npassword=%s\nport=%u\n", server_.host.c_str(),
               server_.user.c_str(), server_.password.c_str(), server_.port);
  }
  platform::SetEnvironment("MySQL.ini", ini.Path());
  MySQLDataBase local("L", 0xC0);
  local.ErrorOutput = CaptureOutput;
  ClearCapturedMessages();
  EXPECT_TRUE(local.OpenServer("bogus", "bogus", "bogus", server_.name.c_str(), 1)) << Messages();
  EXPECT_EQ(local.ThreadInterface()->Port(), server_.port);
  EXPECT_EQ(local.ThreadInterface()->QueryInteger(nullptr, "select 3"), 3);

  {
    PTextFile file(ini.Path(), PTextFile::kWrite);
    file.Print("[Options]\nhost=%s\nuser=%s\n", server_.host.c_str(), server_.user.c_str());
  }
  MySQLDataBase incomplete("I", 0xC0);
  incomplete.ErrorOutput = CaptureOutput;
  EXPECT_FALSE(incomplete.OpenServer("h", "u", "p", "nvdtest", 3306));
  EXPECT_EQ(CapturedMessages().back(),
            "[Database \"nvdtest\"]: Can't open database on local MySQL server - No connection "
            "information: ");
  {
    PTextFile file(ini.Path(), PTextFile::kWrite);
    file.Print("[Options]\nhost=127.0.0.1\nuser=mysql\npassword=x\nport=1\n");
  }
  MySQLDataBase refused("F", 0xC0);
  refused.ErrorOutput = CaptureOutput;
  EXPECT_FALSE(refused.OpenServer("h", "u", "p", "nvdtest", 3306));
  EXPECT_EQ(CapturedMessages().back().find("[Database \"nvdtest\"]: Can't open database on local "
                                           "MySQL server: MySQL connection failed: "),
            0u);
  platform::SetEnvironment("MySQL.ini", nullptr);
}

// The manufacturing lookup's use: a read-only record set on Norvane selected
// by the hardware identifier (words above 0x7FFFFFFF as negative decimals).
TEST_F(MySQLTest, ManufacturingTableLookup) {
  const int32_t low = static_cast<int32_t>(0x80000001u), mid = 0x00ABCDEF, high = 0x7FFFFFFF;
  const std::string where = Format("HWIdLow=%d and HWIdMid=%d and HWIdHigh=%d", low, mid, high);
  Exec("delete from Norvane where " + where);
  {
    PRecordSet table(db_.get(), "Norvane", 0, "select * from Norvane where 0", 0);
    auto record = std::make_unique<PRecord>(&table, false);
    record->SetFieldLong("HWIdLow", low);
    record->SetFieldLong("HWIdMid", mid);
    record->SetFieldLong("HWIdHigh", high);
    record->FindField("SerialNumber", dbText, false)->SetText("NV-0001");
    record->FindField("HomeProgrammingDate", dbDate, false)->SetDate(OleDate(2024, 1, 2, 3, 4, 5));
    record->FindField("TestResults", dbText, false)->SetText("[Run 1]\nT=\n");
    record->FindField("CalibrationData", dbLongBinary, false)->SetRawData(8, "\0\1\2\3\4\5\6\7");
    ASSERT_TRUE(Interface()->SaveRecord(&table, record.get())) << Interface()->ErrorText();
    EXPECT_GT(record->FindField("Id", dbLong, false)->GetLong(), 0);
  }
  PRecordSet lookup(db_.get(), "Norvane", 4,
                    Format("select * from Norvane where %s", where.c_str()), 0);
  ASSERT_EQ(lookup.Count(), 1u) << Messages();
  PRecord* row = lookup[0];
  EXPECT_STREQ(row->GetFieldText("SerialNumber"), "NV-0001");
  EXPECT_DOUBLE_EQ(row->GetFieldDate("HomeProgrammingDate"), OleDate(2024, 1, 2, 3, 4, 5));
  EXPECT_EQ(row->GetFieldDate("CalibrationDate"), 0.0);  // NULL
  EXPECT_STREQ(row->GetFieldText("TestResults"), "[Run 1]\nT=\n");
  const DynArray<unsigned char>* calibration = row->GetFieldRawData("CalibrationData");
  ASSERT_NE(calibration, nullptr);
  EXPECT_EQ(calibration->Count(), 8u);
  EXPECT_EQ((*calibration)[7], 7);
  EXPECT_TRUE(CapturedMessages().empty()) << Messages();
  Exec("delete from Norvane where " + where);
}
