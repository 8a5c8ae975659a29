// The MySQL back end end to end, against the private test server.
#include "db/mysql/mysql_database.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "base/files.h"
#include "base/format.h"
#include "base/strings.h"
#include "db/support/db_test_support.h"
#include "platform/codepage.h"
#include "platform/system.h"

namespace {

// Every byte value 1-255 (text cannot hold NUL) with quotes, backslashes, CR
// and LF among them; raw data adds NUL and Ctrl-Z.
std::string AllTextBytes() {
  std::string text;
  for (int i = 1; i < 256; ++i)
    text.push_back(static_cast<char>(i));
  return text + "'\"\\\r\n'";
}

std::string AllRawBytes() {
  return '\0' + AllTextBytes() + std::string("\0'\\\r\n\x1a", 6);
}

std::string RawOf(const PField* field) {
  const auto& data = field->GetRawData();
  return std::string(reinterpret_cast<const char*>(data.Data()), data.Count());
}

// A field's value as a number (dates and doubles alike), 0 for texts.
double Number(const PField* field) {
  switch (field->Type()) {
    case dbLong:
      return field->GetLong();
    case dbBigInt:
      return static_cast<double>(field->GetBigInt());
    case dbSingle:
      return field->GetSingle();
    default:
      return field->GetDate();  // a double answers as a date too
  }
}

// The first logged line that starts with `prefix`, or "".
std::string LoggedLine(const std::string& prefix) {
  for (const std::string& line : LogCapture::Lines())
    if (line.rfind(prefix, 0) == 0) return line;
  return "";
}

// Sets an environment variable for the lifetime of the object.
class ScopedEnvironment {
 public:
  ScopedEnvironment(const char* name, const char* value) : name_(name) {
    platform::SetEnvironment(name, value);
  }
  ~ScopedEnvironment() { platform::SetEnvironment(name_, nullptr); }
  void Set(const char* value) { platform::SetEnvironment(name_, value); }

 private:
  const char* name_;
};

class MySQLTest : public ::testing::Test {
 protected:
  void SetUp() override {
    NVD_REQUIRE_TEST_SERVER(server_);
    db_ = std::make_unique<MySQLDataBase>(server_.name.c_str(), 0x80);
    Interface()->SetOptions("", 0x80);
    ASSERT_TRUE(OpenOn(*db_, server_)) << Messages();
    Interface()->SetTraceBits(MSSQLInterface::kTraceStatements);
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

  LogCapture log_;
  CaptureDefaultErrors errors_;
  TestServer server_;
  std::unique_ptr<MySQLDataBase> db_;
};

}  // namespace

TEST_F(MySQLTest, ConnectionAndScalarQueries) {
  EXPECT_TRUE(Interface()->Connect("ignored", "ignored", "", "", 1));  // already connected
  EXPECT_EQ(Interface()->Port(), server_.port);
  EXPECT_TRUE(db_->TableExists("Norvane"));
  EXPECT_FALSE(db_->TableExists("NoSuchTable"));
  EXPECT_FALSE(db_->TableExists("x' OR '1'='1"));  // caller text cannot change the statement

  const struct {
    const char* sql;
    int32_t value;
    const char* error;  // the start of the error text, or null
  } queries[] = {{"select 42", 42, nullptr},
                 {"select '0x10'", 16, nullptr},
                 {"select null", 0, nullptr},
                 {"select 1 union select 2", 0, "Query did not produce a result"},
                 {"select 1, 2", 0, "Number of fields in result != 1"},
                 {"select nonsense from nowhere", 0, "mysql_query(): "}};
  for (const auto& q : queries) {
    EXPECT_EQ(Interface()->QueryInteger(nullptr, q.sql), q.value) << q.sql;
    if (q.error != nullptr) {
      EXPECT_EQ(std::string(Interface()->ErrorText()).find(q.error), 0u) << q.sql;
    }
  }

  Table("t_count", "a int");
  Exec("insert into t_count values (1), (1), (2)");
  EXPECT_EQ(Interface()->CountRecords(nullptr, "t_count", "WHERE a=1"), 2u);
  EXPECT_TRUE(LogCapture::Has("SELECT COUNT(*) FROM t_count WHERE a=1\n"));
  EXPECT_EQ(Interface()->CountRecords(nullptr, "t_count", ""), 3u);
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
  EXPECT_TRUE(set.Column(0)->flags & kColumnPrimaryKey);
  // Each column's type and its value in the first row; DATETIME(6) drops
  // the fraction, a TIME alone is no date.
  const double date = OleDate(2021, 3, 4, 5, 6, 7), day = OleDate(2021, 3, 4);
  const double b40 = (1ull << 39) + 1;
  const struct {
    const char* name;
    uint32_t type;
    double value;
    const char* text;
  } columns[] = {{"ti", dbLong, -5, ""},         {"si", dbLong, 300, ""},
                 {"mi", dbLong, 70000, ""},      {"i", dbLong, -2000000000, ""},
                 {"bi", dbLong, 2000000001, ""}, {"f", dbSingle, 1.5, ""},
                 {"d", dbDouble, 2.25, ""},      {"dec1", dbSingle, 3.75, ""},
                 {"dt", dbDate, date, ""},       {"da", dbDate, day, ""},
                 {"dt6", dbDate, date, ""},      {"tm", dbDate, 0, ""},
                 {"b1", dbLong, 1, ""},          {"b12", dbLong, 0xAAA, ""},
                 {"b40", dbBigInt, b40, ""},     {"vc", dbText, 0, "hello"},
                 {"tx", dbText, 0, "long text"}, {"js", dbText, 0, "{\"a\": 1}"},
                 {"en", dbText, 0, "b"},         {"tb", dbText, 0, "bin text"}};
  PRecord* row = set[0];
  PRecord* nulls = set[1];
  for (const auto& c : columns) {
    const PField* field = row->FieldByName(c.name);
    ASSERT_NE(field, nullptr) << c.name;
    EXPECT_EQ(field->Type(), c.type) << c.name;
    EXPECT_DOUBLE_EQ(Number(field), c.value) << c.name;
    EXPECT_STREQ(field->GetText(), c.text) << c.name;
    // NULLs load as the type's neutral value.
    EXPECT_EQ(Number(nulls->FieldByName(c.name)), 0.0) << c.name;
    EXPECT_STREQ(nulls->FieldByName(c.name)->GetText(), "") << c.name;
  }
  EXPECT_EQ(row->FieldByName("bl")->Type(), dbLongBinary);
  EXPECT_EQ(RawOf(row->FieldByName("bl")), "bytes");
  EXPECT_EQ(nulls->FieldByName("bl")->GetRawData().Count(), 0u);
  for (PRecord* record : {row, nulls}) {
    EXPECT_FALSE(record->IsNew());
    for (uint32_t i = 0; i < record->Count(); ++i)
      EXPECT_FALSE(record->At(i)->IsModified()) << i;
  }

  PRecordSet named(db_.get(), "", 0, "select 1 as id, 2 as id, 3 as id, 4 as id_1", 0);
  ASSERT_EQ(named.ColumnCount(), 4u);
  EXPECT_STREQ(named.Column(1)->name, "id_1");
  EXPECT_STREQ(named.Column(2)->name, "id_2");
  EXPECT_STREQ(named.Column(3)->name, "id_1_1");
  // Names as long as a description holds: each suffix fits within the 63
  // characters (cut back, it would clash again and again).
  const std::string longName(63, 'n');
  const std::string longSelect = "select 1 as " + longName + ", 2 as " + longName + ", 3 as " +
                                 longName + ", 4 as " + longName + "x";
  PRecordSet longNames(db_.get(), "", 0, longSelect.c_str(), 0);
  ASSERT_EQ(longNames.ColumnCount(), 4u) << Messages();
  EXPECT_EQ(std::string(longNames.Column(0)->name.c_str()), longName);
  EXPECT_EQ(std::string(longNames.Column(1)->name.c_str()), longName.substr(0, 61) + "_1");
  EXPECT_EQ(std::string(longNames.Column(2)->name.c_str()), longName.substr(0, 61) + "_2");
  EXPECT_EQ(std::string(longNames.Column(3)->name.c_str()),
            longName.substr(0, 61) + "_3");  // the same once kept
  EXPECT_EQ(longNames[0]->FieldByName((longName.substr(0, 61) + "_3").c_str())->GetLong(), 4);

  PRecordSet none(db_.get(), "t_types", 0, "select * from t_types where k = 99", 0);
  EXPECT_EQ(none.Count(), 0u);
  EXPECT_GT(none.ColumnCount(), 0u);
  EXPECT_TRUE(CapturedMessages().empty()) << Messages();
  PRecordSet columnsOnly(db_.get(), "t_types", 0, "ignored", PRecordSet::kColumnsOnly);
  EXPECT_EQ(columnsOnly.ColumnCount(), set.ColumnCount());
  EXPECT_EQ(columnsOnly.Count(), 0u);

  PRecordSet failed(db_.get(), "t_types", 0, "select * from missing_table", 0);
  ASSERT_EQ(CapturedMessages().size(), 1u);
  EXPECT_EQ(CapturedMessages()[0].find("[Database \"" + server_.name +
                                       "\"]: Cannot create recordset: query: "),
            0u)
      << CapturedMessages()[0];
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
  EXPECT_TRUE(set.Column(0)->flags & kColumnAutoIncrement);
  const std::string text = AllTextBytes(), raw = AllRawBytes();
  PRecord record(&set, false);
  record[1]->SetText(text.c_str());
  record[2]->SetRawData(static_cast<uint32_t>(raw.size()), raw.data());
  record[3]->SetDate(OleDate(2021, 3, 4, 5, 6, 7));
  record[4]->SetDouble(1e-30);
  record[5]->SetSingle(2.5f);
  MySQLInterface* backEnd = Interface();
  ASSERT_TRUE(backEnd->SaveRecord(&set, &record)) << backEnd->ErrorText();
  const int32_t id = record[0]->GetLong();  // the auto-increment value copied back
  EXPECT_GT(id, 0);
  EXPECT_FALSE(record.IsNew());
  // Every column but the auto-increment one, with the quotes escaped.
  const std::string insert = LoggedLine("insert into t_save(name,data,d,f,sf) values(");
  EXPECT_NE(insert.find("\\'\\\"\\\\\\r\\n\\'"), std::string::npos) << insert;

  PRecordSet back(db_.get(), "t_save", 0, "select * from t_save", 0);
  ASSERT_EQ(back.Count(), 1u);
  PRecord* loaded = back[0];
  EXPECT_TRUE(loaded->At(1)->GetText() == text);
  EXPECT_TRUE(RawOf(loaded->At(2)) == raw);
  EXPECT_DOUBLE_EQ(loaded->At(3)->GetDate(), OleDate(2021, 3, 4, 5, 6, 7));
  EXPECT_EQ(loaded->At(4)->GetDouble(), 1e-30);
  EXPECT_EQ(loaded->At(5)->GetSingle(), 2.5f);

  // Update: only modified fields are written; empty raw data is written as
  // ''; the key condition uses the current key value.
  const std::string reversed(text.rbegin(), text.rend());
  loaded->At(1)->SetText(reversed.c_str());
  loaded->At(2)->SetRawData(0, nullptr);
  LogCapture::Clear();
  ASSERT_TRUE(backEnd->SaveRecord(&back, loaded)) << backEnd->ErrorText();
  const std::string update = LoggedLine("update t_save set name=");
  EXPECT_NE(update.find(",data='' where id=" + std::to_string(id) + "\n"), std::string::npos)
      << update;
  EXPECT_EQ(update.find("d='"), std::string::npos);
  PRecordSet again(db_.get(), "t_save", 0, "select * from t_save", 0);
  ASSERT_EQ(again.Count(), 1u);
  EXPECT_TRUE(again[0]->At(1)->GetText() == reversed);
  EXPECT_EQ(again[0]->At(2)->GetRawData().Count(), 0u);

  // Nothing modified: "update t_save set  where ..." is refused by the server.
  EXPECT_FALSE(backEnd->SaveRecord(&again, again[0]));
  EXPECT_EQ(std::string(backEnd->ErrorText()).find("mysql_query(): "), 0u);
  // A modified key is not written; the condition uses its new value.
  again[0]->At(0)->SetLong(id + 100);
  again[0]->At(4)->SetDouble(5.0);
  EXPECT_TRUE(backEnd->SaveRecord(&again, again[0]));
  EXPECT_TRUE(LogCapture::Has("update t_save set f=5 where id=" + std::to_string(id + 100) + "\n"));
  EXPECT_EQ(backEnd->AffectedRows(), 0u);

  MySQLInterface stranger;  // a record set of another interface is refused
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
  const std::string text = AllTextBytes(), raw = AllRawBytes();
  for (uint32_t flags : {0u, static_cast<uint32_t>(PRecordSet::kNoLock)}) {
    Exec("delete from t_bulk");
    PRecordSet set(db_.get(), "t_bulk", 0, "select * from t_bulk", flags);
    for (int i = 0; i < 20; ++i) {
      auto record = std::make_unique<PRecord>(&set, false);
      record->At(0)->SetLong(i);
      record->At(1)->SetText((text + std::to_string(i)).c_str());
      record->At(2)->SetRawData(static_cast<uint32_t>(raw.size()), raw.data());
      record->At(3)->SetDate(OleDate(2021, 3, 4, 5, 6, static_cast<uint16_t>(i)));
      record->At(4)->SetDouble(i + 0.25);
      set.Add(record.release());
    }
    LogCapture::Clear();
    ASSERT_TRUE(Interface()->SaveAllRecords(&set)) << Interface()->ErrorText();
    EXPECT_FALSE(set[0]->IsNew());
    EXPECT_EQ(LogCapture::Has("lock tables t_bulk write\n"), flags == 0);
    EXPECT_EQ(LogCapture::Has("unlock tables\n"), flags == 0);
    EXPECT_NE(LoggedLine("LOAD DATA LOCAL INFILE '")
                  .find("' into table t_bulk FIELDS TERMINATED BY '\r' LINES TERMINATED BY '\n'"),
              std::string::npos);

    PRecordSet back(db_.get(), "t_bulk", 0, "select * from t_bulk order by k", 0);
    ASSERT_EQ(back.Count(), 20u);
    for (uint32_t i = 0; i < 20; ++i) {
      PRecord* row = back[i];
      EXPECT_TRUE(row->At(1)->GetText() == text + std::to_string(i));
      EXPECT_TRUE(RawOf(row->At(2)) == raw);
      // The dates were written without their quotes, so they loaded.
      EXPECT_DOUBLE_EQ(row->At(3)->GetDate(), OleDate(2021, 3, 4, 5, 6, static_cast<uint16_t>(i)));
      EXPECT_EQ(row->At(4)->GetDouble(), i + 0.25);
    }
  }
  // A failing load is reported and leaves the records new.
  PRecordSet missing(db_.get(), "t_gone", 0, "select 1 as k", PRecordSet::kNoLoad);
  missing.Add(new PRecord(&missing, false));
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
  utf8.ThreadInterface()->SetOptions("", 0x88);
  ASSERT_TRUE(OpenOn(utf8, server_));
  const char* text =
      "\xC3\x9C"
      "ber \xF0\x9F\x98\x80 \xD0\xB4";  // Über, an emoji, Cyrillic
  PRecordSet set(&utf8, "t_utf8", 0, "select * from t_utf8", 0);
  PRecord record(&set, false);
  record[0]->SetLong(1);
  record[1]->SetText(text);
  ASSERT_TRUE(utf8.ThreadInterface()->SaveRecord(&set, &record))
      << utf8.ThreadInterface()->ErrorText();
  PRecordSet back(&utf8, "t_utf8", 0, "select * from t_utf8", 0);
  ASSERT_EQ(back.Count(), 1u);
  EXPECT_STREQ(back[0]->At(1)->GetText(), text);
  MySQLInterface* backEnd = utf8.ThreadInterface();
  EXPECT_EQ(backEnd->QueryInteger(nullptr, "select @@character_set_connection = 'utf8mb4'"), 1);
#if defined(_WIN32)
  // A Windows application's texts are in its ANSI code page (a legacy one
  // unless the program declares UTF-8), which the option recodes to UTF-8 and
  // back: the server holds what these bytes mean in that code page, and they
  // come back unchanged (above).
  const std::string stored =
      RecodeBuffer(text, std::strlen(text), platform::kCodePageAnsi, platform::kCodePageUtf8);
  std::string hex;
  for (const unsigned char c : stored)
    hex += Format("%02X", c);
  EXPECT_EQ(backEnd->QueryInteger(nullptr, ("select hex(t) = '" + hex + "' from t_utf8").c_str()),
            1)
      << hex;
#else
  // POSIX texts are UTF-8: eight characters, the emoji among them.
  EXPECT_EQ(backEnd->QueryInteger(nullptr, "select char_length(t) from t_utf8"), 8);
#endif
}

TEST_F(MySQLTest, AddressesAndUnreachableServers) {
  // The user part escaped (%6D is "m"), the port after the host.
  const std::string address = "https://%6Dysql:" + server_.password + "@" + server_.host + ":" +
                              std::to_string(server_.port) + "/ignored/path";
  MySQLDataBase byAddress("", 0x80);
  ASSERT_TRUE(byAddress.OpenAtAddress(address.c_str(), server_.name.c_str())) << Messages();
  EXPECT_STREQ(byAddress.Text(), server_.name.c_str());
  EXPECT_STREQ(byAddress.ThreadInterface()->User(), "mysql");
  MySQLDataBase noHost("X", 0x80);
  EXPECT_FALSE(noHost.OpenAtAddress("https://", "X"));

  // A closed port on loopback: refused at once, with the connection-failure texts.
  MySQLDataBase unreachable("Nowhere", 0x80);
  ClearCapturedMessages();
  const auto start = std::chrono::steady_clock::now();
  EXPECT_FALSE(unreachable.OpenServer("127.0.0.1", "mysql", "x", "nvdtest", 1));
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(10));
  ASSERT_EQ(CapturedMessages().size(), 1u);
  EXPECT_EQ(CapturedMessages()[0].find(
                "[Database \"nvdtest\"]: Can't open database: MySQL connection failed: "),
            0u)
      << CapturedMessages()[0];
  EXPECT_FALSE(unreachable.Execute("select 1"));
  EXPECT_EQ(CapturedMessages().back(), "Database is not open");
}

TEST_F(MySQLTest, EachThreadHasItsOwnInterface) {
  MySQLInterface* mine = Interface();
  std::vector<std::thread> threads;
  std::vector<int32_t> results(4, -1);
  std::vector<MySQLInterface*> theirs(4, nullptr);
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&, t] {
      MySQLInterface* own = theirs[t] = db_->ThreadInterface();
      own->SetOptions("", 0x80);
      if (own->Connect(server_.host.c_str(), server_.user.c_str(), server_.password.c_str(),
                       server_.name.c_str(), server_.port))
        results[t] = own->QueryInteger(nullptr, Format("select %d", t + 10));
      own->CloseConnection();
    });
  }
  for (auto& thread : threads)
    thread.join();
  for (int t = 0; t < 4; ++t) {
    EXPECT_EQ(results[t], t + 10);
    EXPECT_NE(theirs[t], mine);
  }
  EXPECT_EQ(db_->ThreadInterface(), mine);
  EXPECT_EQ(Interface()->QueryInteger(nullptr, "select 5"), 5);

  // Closing the database destroys the record sets of the connection.
  PRecordSet set(db_.get(), "", 0, "select 1", PRecordSet::kNoLoad);
  EXPECT_EQ(Interface()->RecordSetCount(), 1u);
  db_->CloseDatabase();
  EXPECT_FALSE(db_->IsOpen());
  EXPECT_EQ(Interface()->RecordSetCount(), 0u);
}

TEST_F(MySQLTest, SettingsFileGivesTheConnection) {
  PTempFile ini;
  auto settings = [&ini](const std::string& text) {
    PTextFile file(ini.Path(), PTextFile::kWrite);
    file.Print("[Options]\n%s", text.c_str());
  };
  settings("host=" + server_.host + "\nuser=" + server_.user + "\npassword=" + server_.password +
           "\nport=" + std::to_string(server_.port) + "\n");
  platform::SetEnvironment("MySQL.ini", ini.Path());
  MySQLDataBase local("L", 0xC0);
  EXPECT_TRUE(local.OpenServer("bogus", "bogus", "bogus", server_.name.c_str(), 1)) << Messages();
  EXPECT_EQ(local.ThreadInterface()->QueryInteger(nullptr, "select 3"), 3);

  // Incomplete settings, and settings naming a closed port.
  const std::string prefix = "[Database \"nvdtest\"]: Can't open database on local MySQL server";
  const struct {
    std::string settings, error;
  } failures[] = {
      {"host=h\nuser=u\n", prefix + " - No connection information: "},
      {"host=127.0.0.1\nuser=u\npassword=x\nport=1\n", prefix + ": MySQL connection failed: "}};
  for (const auto& f : failures) {
    settings(f.settings);
    MySQLDataBase failing("F", 0xC0);
    EXPECT_FALSE(failing.OpenServer("h", "u", "p", "nvdtest", 3306));
    EXPECT_EQ(CapturedMessages().back().find(f.error), 0u) << CapturedMessages().back();
  }
  platform::SetEnvironment("MySQL.ini", nullptr);
}

TEST_F(MySQLTest, RequiredTlsNeverFallsBackToClearText) {
  // The test server offers no TLS: a connection that requires it fails.
  ScopedEnvironment tls("NVDEVICES_DATABASE_TLS", "required");
  MySQLDataBase secure(server_.name.c_str(), 0x80);
  secure.ThreadInterface()->SetOptions("", 0x80);
  ClearCapturedMessages();
  EXPECT_FALSE(OpenOn(secure, server_));
  EXPECT_FALSE(secure.IsOpen());
  ASSERT_EQ(CapturedMessages().size(), 1u);
#if defined(_WIN32)
  // The Windows build's client library has no TLS at all.
  EXPECT_TRUE(
      LogCapture::Has("MySQL: TLS is required but not available in this build; not connecting\n"));
  EXPECT_EQ(CapturedMessages()[0],
            "[Database \"" + server_.name +
                "\"]: Can't open database: TLS is required but not available in this build");
#else
  EXPECT_EQ(CapturedMessages()[0].find("[Database \"" + server_.name +
                                       "\"]: Can't open database: MySQL connection failed: "),
            0u)
      << CapturedMessages()[0];
#endif

  // A setting that is not understood connects nowhere either; "off" (any
  // case) connects as before.
  tls.Set("maybe");
  MySQLDataBase unknown(server_.name.c_str(), 0x80);
  EXPECT_FALSE(OpenOn(unknown, server_));
  EXPECT_TRUE(LogCapture::Has(
      "MySQL: NVDEVICES_DATABASE_TLS=\"maybe\" is neither \"off\" nor \"required\"; not "
      "connecting\n"));
  tls.Set("OFF");
  MySQLDataBase plain(server_.name.c_str(), 0x80);
  EXPECT_TRUE(OpenOn(plain, server_)) << Messages();
}

#if !defined(_WIN32)
// A hostile server answers the first statement with a request for a file of
// the host process (tests/db/support/rogue_mysql_server.py): the request is
// refused and logged, and not one byte of the file leaves the process. The
// server is a Python program on loopback; the Windows build leaves this case
// to the Linux build.
TEST(MySQLLocalFiles, ServerAsksForAFileAndIsRefused) {
  if (std::system("python3 -c '' >/dev/null 2>&1") != 0) {
    if (RunningUnderCI()) FAIL() << "python3 is missing";
    GTEST_SKIP() << "python3 is missing";
  }
  const std::string script = NVD_TESTS_DIR "/db/support/rogue_mysql_server.py";
  PTempFile secret, received;
  const std::string secretBytes = "nvd-secret-" + std::to_string(std::rand()) + "-bytes";
  {
    PTextFile file(secret.Path(), PTextFile::kWrite | PTextFile::kBinary);
    ASSERT_TRUE(file.IsOpen());
    file.Write(secretBytes.data(), secretBytes.size());
  }
  const std::string command =
      "python3 '" + script + "' '" + received.Path() + "' '" + std::string(secret.Path()) + "'";
  FILE* server = popen(command.c_str(), "r");
  ASSERT_NE(server, nullptr);
  char portLine[32] = {};
  const bool started = std::fgets(portLine, sizeof portLine, server) != nullptr;
  const uint32_t port = static_cast<uint32_t>(std::atoi(portLine));
  {
    LogCapture log;
    CaptureDefaultErrors errors;
    MySQLDataBase db("rogue", 0x80);
    db.ThreadInterface()->SetOptions("", 0x80);
    if (started && port != 0 && db.OpenServer("127.0.0.1", "mysql", "x", "rogue", port)) {
      // The statement the manufacturing lookup makes, through a record set.
      PRecordSet set(&db, "Norvane", 0, "select * from Norvane where HWIdLow=1", 0);
      EXPECT_EQ(set.Count(), 0u);
      EXPECT_TRUE(LogCapture::Has("MySQL: refused the server's request for the local file \"" +
                                  std::string(secret.Path()) + "\"\n"));
      ASSERT_FALSE(CapturedMessages().empty());
      EXPECT_NE(CapturedMessages().back().find(
                    "Cannot create recordset: query: Refused the server's request for the local "
                    "file '" +
                    std::string(secret.Path()) + "'"),
                std::string::npos)
          << CapturedMessages().back();
    } else {
      ADD_FAILURE() << "the rogue server did not start or accept the login (port " << portLine
                    << ")";
    }
  }
  pclose(server);
  std::ifstream in(received.Path(), std::ios::binary);
  const std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  EXPECT_NE(bytes.find("select * from Norvane where HWIdLow=1"), std::string::npos);
  EXPECT_EQ(bytes.find(secretBytes), std::string::npos);
}
#endif
