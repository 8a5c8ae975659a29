// Records, record sets and the database interface over a back end that
// delivers packed record data (the format any non-MySQL back end uses).
#include "db/record.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "db/database.h"
#include "db/support/db_test_support.h"

namespace {

MPFieldInfo Column(const char* name, int16_t type) {
  MPFieldInfo info{};
  std::strncpy(info.name, name, sizeof info.name - 1);
  info.type = type;
  return info;
}

// Builds packed record bytes: a bookmark, then each value.
class Packed {
 public:
  explicit Packed(const std::string& bookmark = "") {
    bytes_.push_back(static_cast<unsigned char>(bookmark.size()));
    bytes_.insert(bytes_.end(), bookmark.begin(), bookmark.end());
  }
  template <typename T>
  Packed& Value(T value) {
    const auto* p = reinterpret_cast<const unsigned char*>(&value);
    bytes_.insert(bytes_.end(), p, p + sizeof value);
    return *this;
  }
  Packed& Text(const std::string& text) {
    Value<uint32_t>(static_cast<uint32_t>(text.size()));
    bytes_.insert(bytes_.end(), text.begin(), text.end());
    return *this;
  }
  operator std::vector<unsigned char>() const { return bytes_; }

 private:
  std::vector<unsigned char> bytes_;
};

// Delivers `rows` one at a time (after Move) or, with the bulk capability,
// all at once; records the statements it is given.
class PackedInterface : public MSSQLInterface {
 public:
  explicit PackedInterface(bool bulk, std::vector<MPFieldInfo> columns = {})
      : columns(std::move(columns)) {
    capabilities_[kBulk] = bulk ? 1 : 0;
  }

  std::vector<MPFieldInfo> columns;
  std::vector<std::vector<unsigned char>> rows;
  std::vector<std::string> statements;
  std::string openedSql;
  bool openFails = false, destroyFails = false;

  void* SetOptions(const char*, uint32_t) override { return nullptr; }
  bool Disconnect(void*) override { return true; }
  bool ExecuteSQL(void*, const char* sql) override {
    statements.emplace_back(sql);
    if (std::strstr(sql, "FAIL") == nullptr) return true;
    SetErrorText("server says no");
    return false;
  }
  bool Reserved4() override { return true; }
  void* OpenRecordSet(void*, const char*, uint32_t, const char* sql, uint32_t, MPFieldInfo* infos,
                      uint32_t& count) override {
    openedSql = sql != nullptr ? sql : "";
    if (openFails) {
      SetErrorText("query: E");
      return nullptr;
    }
    std::copy_n(columns.begin(), std::min<size_t>(count, columns.size()), infos);
    count = static_cast<uint32_t>(columns.size());
    return this;
  }
  bool DestroyRecordSet(void*) override { return !destroyFails; }
  bool GetRecordSize(void*, uint32_t& size, const unsigned char*, uint32_t) override {
    if (cursor_ >= rows.size()) return false;
    size = static_cast<uint32_t>(rows[cursor_].size());
    return true;
  }
  bool GetAllRecordsSize(void*, uint32_t& size, const unsigned char*, uint32_t) override {
    size = static_cast<uint32_t>(All().size());
    return true;
  }
  bool GetRecordData(void*, unsigned char* buffer, const unsigned char*, uint32_t,
                     uint32_t size) override {
    if (cursor_ >= rows.size() || size != rows[cursor_].size()) return false;
    std::copy(rows[cursor_].begin(), rows[cursor_].end(), buffer);
    return true;
  }
  bool GetAllRecordsData(void*, unsigned char* buffer, const unsigned char*, uint32_t,
                         uint32_t) override {
    const std::vector<unsigned char> all = All();
    std::copy(all.begin(), all.end(), buffer);
    return true;
  }
  int Move(void*, int how) override {
    if (how != 0 && how != 2) return 2;
    cursor_ = how == 0 ? 0 : cursor_ + 1;
    return cursor_ < rows.size() ? 1 : 0;
  }
  int Reserved12() override { return 0; }
  int Reserved13() override { return 0; }
  uint32_t CountRecords(void*, const char*, const char*) override { return 0; }
  int32_t QueryInteger(void*, const char*) override { return 0; }

 private:
  std::vector<unsigned char> All() const {
    std::vector<unsigned char> all;
    for (const auto& row : rows)
      all.insert(all.end(), row.begin(), row.end());
    return all;
  }
  size_t cursor_ = SIZE_MAX;
};

// A database open on a packed back end.
class PackedDataBase : public MSSQLDataBase {
 public:
  PackedDataBase(PackedInterface* backEnd, const char* name = "D")
      : MSSQLDataBase(name, 0, backEnd) {
    connection_ = backEnd;
  }
  ~PackedDataBase() override { connection_ = nullptr; }
};

class RecordSetTest : public ::testing::Test {
 protected:
  const std::vector<std::string>& Messages() { return CapturedMessages(); }
  CaptureDefaultErrors errors_;
};

}  // namespace

TEST_F(RecordSetTest, LoadsPackedRowsOneByOneAndInBulk) {
  for (bool bulk : {false, true}) {
    PackedInterface backEnd(
        bulk, {Column("tiny", 1), Column("short", 3), Column("long", 4), Column("wide", 5),
               Column("single", 6), Column("double", 7), Column("date", 8), Column("text", 10),
               Column("blob", 11), Column("memo", 12)});
    for (const char* text : {"hello", "second"}) {
      backEnd.rows.push_back(Packed("BM")
                                 .Value<uint8_t>(200)
                                 .Value<int16_t>(-3)
                                 .Value<int32_t>(70000)
                                 .Value<int64_t>(0x1234567800000009)
                                 .Value<float>(1.5f)
                                 .Value<double>(2.25)
                                 .Value<double>(44000.5)
                                 .Text(text)
                                 .Value<uint32_t>(4096)  // a long binary column: length only
                                 .Text("memo"));
    }
    PackedDataBase database(&backEnd);
    // Read-only (mode 4) one way, updatable (mode 0) the other.
    PRecordSet set(&database, "T", bulk ? 0 : 4, "select * from T", 0);
    EXPECT_TRUE(Messages().empty()) << Messages()[0];
    ASSERT_EQ(set.ColumnCount(), 10u);
    EXPECT_EQ(set.Column(0)->type, dbLong);
    EXPECT_EQ(set.Column(0)->reportedType, 1u);
    EXPECT_EQ(set.Column(9)->type, dbText);
    EXPECT_EQ(set.IsUpdatable(), bulk);
    ASSERT_EQ(set.Count(), 2u);
    PRecord* record = set[0];
    EXPECT_EQ(record->Bookmark().Count(), 2u);
    EXPECT_FALSE(record->IsNew());
    EXPECT_EQ(record->FieldByName("tiny")->GetLong(), 200);
    EXPECT_EQ(record->FieldByName("short")->GetLong(), -3);
    EXPECT_EQ(record->FieldByName("long")->GetLong(), 70000);
    EXPECT_EQ(record->FieldByName("wide")->GetLong(), 9);
    EXPECT_EQ(record->FieldByName("single")->GetSingle(), 1.5f);
    EXPECT_EQ(record->FieldByName("double")->GetDouble(), 2.25);
    EXPECT_EQ(record->GetFieldDate("date"), 44000.5);
    EXPECT_STREQ(record->GetFieldText("text"), "hello");
    EXPECT_STREQ(set[1]->GetFieldText("text"), "second");
    EXPECT_STREQ(record->GetFieldText("memo"), "memo");
    auto* blob = static_cast<PRawDataField*>(record->FieldByName("blob"));
    EXPECT_EQ(blob->DataSize(), 4096u);
    EXPECT_EQ(blob->AllocSize(), 0u);
    EXPECT_EQ(record->FieldByName("text")->FlagsWord(), 0u);
  }
}

TEST_F(RecordSetTest, TruncatedPackedDataIsReportedNotOverrun) {
  for (bool bulk : {true, false}) {
    ClearCapturedMessages();
    PackedInterface backEnd(bulk, {Column("id", 4), Column("name", 10)});
    // A text length past the end of the data.
    backEnd.rows.push_back(Packed().Value<int32_t>(1).Value<uint32_t>(1000000).Text(""));
    PackedDataBase database(&backEnd);
    PRecordSet set(&database, "T", 0, "select", 0);
    EXPECT_EQ(set.Count(), 0u);
    ASSERT_FALSE(Messages().empty());
    EXPECT_EQ(Messages()[0],
              bulk ? "[Database \"D\"]: Error parsing record data: " : "Error parsing record data");
  }
}

TEST_F(RecordSetTest, FlagsAndEmptyResults) {
  PackedInterface backEnd(false, {Column("id", 4)});
  backEnd.rows.push_back(Packed().Value<int32_t>(1));
  PackedDataBase database(&backEnd);
  {
    PRecordSet noLoad(&database, "T", 0, "select * from T", PRecordSet::kNoLoad);
    EXPECT_EQ(noLoad.ColumnCount(), 1u);
    EXPECT_EQ(noLoad.Count(), 0u);
    PRecordSet columnsOnly(&database, "T", 0, "ignored", PRecordSet::kColumnsOnly);
    EXPECT_EQ(backEnd.openedSql, "select * from T where 0");
    EXPECT_EQ(columnsOnly.ColumnCount(), 1u);
    PRecordSet noTable(&database, "", 0, "select 1", 0);
    EXPECT_TRUE(noTable.FlagsWord() & PRecordSet::kNoTable);
  }
  backEnd.rows.clear();
  PRecordSet empty(&database, "T", 0, "select * from T", 0);
  EXPECT_EQ(empty.Count(), 0u);
  EXPECT_TRUE(Messages().empty());
}

TEST_F(RecordSetTest, FindFieldTypeRulesAndReports) {
  PackedInterface backEnd(false,
                          {Column("d", 7), Column("t", 8), Column("Name", 10), Column("name", 10)});
  backEnd.rows.push_back(Packed().Value<double>(1.5).Value<double>(2.5).Text("A").Text("b"));
  PackedDataBase database(&backEnd);
  PRecordSet set(&database, "T", 0, "select", 0);
  ASSERT_EQ(set.Count(), 1u);
  PRecord* record = set[0];
  EXPECT_NE(record->FindField("d", dbDate, false), nullptr);  // a double serves as a date
  EXPECT_NE(record->FindField("t", kAnyFieldType, false), nullptr);
  EXPECT_EQ(record->FindField("missing", dbText, true), nullptr);  // quietly
  EXPECT_TRUE(Messages().empty());
  EXPECT_EQ(record->FindField("t", dbDouble, false), nullptr);
  EXPECT_EQ(record->FindField("missing", dbText, false), nullptr);
  EXPECT_EQ(Messages(), (std::vector<std::string>{
                            "PFieldsContainer: Field 't' type mismatch (got 8, expected 7)",
                            "PFieldsContainer: Cannot find field named 'missing'"}));
  // Names differ by case; the accessors answer neutral values otherwise.
  EXPECT_STREQ(record->GetFieldText("Name"), "A");
  EXPECT_STREQ(record->GetFieldText("name"), "b");
  EXPECT_STREQ(record->GetFieldText("NAME"), "");
  EXPECT_EQ(record->GetFieldDate("Name"), 0.0);
  EXPECT_EQ(record->GetFieldRawData("d"), nullptr);
  record->SetFieldLong("d", 5);
  EXPECT_EQ(record->FieldByName("d")->GetDouble(), 1.5);
}

TEST_F(RecordSetTest, NewRecordsAndFailures) {
  PackedInterface backEnd(false, {Column("i", 4), Column("b", 11), Column("x", 16)});
  PackedDataBase database(&backEnd);
  PRecordSet set(&database, "T", 0, "select", PRecordSet::kNoLoad);
  PRecord fresh(&set, false);
  EXPECT_TRUE(fresh.IsNew());
  ASSERT_EQ(fresh.Count(), 3u);
  EXPECT_EQ(fresh[2]->Type(), dbBigInt);

  backEnd.columns.push_back(Column("odd", 99));
  PRecordSet odd(&database, "T", 0, "select", PRecordSet::kNoLoad);
  EXPECT_EQ(PRecord(&odd, false).Count(), 3u);
  EXPECT_EQ(Messages().back(), "Internal error: Unknown field type in PRecord ctor");

  backEnd.openFails = true;
  PRecordSet failed(&database, "T", 0, "select", 0);
  EXPECT_EQ(failed.ColumnCount(), 0u);
  EXPECT_EQ(Messages().back(), "[Database \"D\"]: Cannot create recordset: query: E");
  backEnd.openFails = false;

  ClearCapturedMessages();
  backEnd.destroyFails = true;
  { PRecordSet doomed(&database, "T", 0, "select", PRecordSet::kNoLoad); }
  backEnd.destroyFails = false;
  ASSERT_EQ(Messages().size(), 1u);
  EXPECT_EQ(Messages()[0].find("[Database \"D\"]: PRecordSet(this="), 0u);
  EXPECT_NE(Messages()[0].find("): Cannot destroy record set"), std::string::npos);
}

TEST_F(RecordSetTest, ExecuteSplitsAndStopsAtTheFirstFailure) {
  PackedInterface backEnd(false);
  PackedDataBase database(&backEnd);
  EXPECT_TRUE(database.Execute("a%d; ;\tb", 1));
  EXPECT_EQ(backEnd.statements, (std::vector<std::string>{"a1", "b"}));
  backEnd.statements.clear();
  EXPECT_FALSE(database.Execute("one;FAIL;three"));
  EXPECT_EQ(backEnd.statements, (std::vector<std::string>{"one", "FAIL"}));
  EXPECT_EQ(Messages(), (std::vector<std::string>{
                            "[Database \"D\"]: Error executing SQL statement: server says no"}));
  EXPECT_TRUE(database.Execute(""));
  EXPECT_TRUE(database.BeginTrans());
  EXPECT_TRUE(database.Rollback());
  EXPECT_EQ(backEnd.statements.back(), "rollback");

  // A closed database says so and sends nothing.
  backEnd.statements.clear();
  MSSQLDataBase closed("D", 0, &backEnd);
  EXPECT_FALSE(closed.Execute("select 1"));
  EXPECT_EQ(Messages().back(), "Database is not open");
  EXPECT_TRUE(backEnd.statements.empty());
}

TEST_F(RecordSetTest, ReportErrorShapes) {
  PackedInterface backEnd(false);
  PackedDataBase database(&backEnd, "");
  database.Set("Named");
  database.ReportError("%s", std::string(2500, 'm').c_str());
  ASSERT_EQ(Messages().size(), 1u);
  EXPECT_EQ(Messages()[0],
            "[Database \"Named\"]: " + std::string(2000 - 20 - 3, 'm') + "...: ");  // 2002 long

  // Without a name the construction name is used; the empty back-end text
  // still adds ": ".
  PackedDataBase unnamed(&backEnd, "Built");
  unnamed.Set(nullptr);
  unnamed.ReportError("oops");
  EXPECT_EQ(Messages().back(), "[Database \"Built\"]: oops: ");

  // A null hook silences every error.
  ClearCapturedMessages();
  database.ErrorOutput = nullptr;
  database.ReportError("quiet");
  EXPECT_FALSE(database.Execute("FAIL"));
  EXPECT_TRUE(Messages().empty());
}

TEST(DbMessages, EachThreadFormatsIntoItsOwnBuffer) {
  std::atomic<int> mismatches{0};
  auto worker = [&](int id) {
    for (int i = 0; i < 2000; ++i) {
      const std::string text = "thread " + std::to_string(id) + " message " + std::to_string(i);
      DbFormatMessage("%s", text.c_str());
      std::this_thread::yield();
      if (text != DbMessageBuffer()) ++mismatches;
    }
  };
  std::thread a(worker, 1), b(worker, 2);
  a.join();
  b.join();
  EXPECT_EQ(mismatches.load(), 0);
  // A message longer than the buffer is cut, never overrun.
  DbFormatMessage("%s", std::string(kDbMessageBufferSize + 100, 'x').c_str());
  EXPECT_EQ(std::strlen(DbMessageBuffer()), kDbMessageBufferSize - 1);
}
