// GetDeviceDatabaseInfo end to end: the built library, loaded at run time,
// against simulated instruments and the manufacturing table of the private
// test server.
#include <map>
#include <memory>

#include "host.h"
#include "lookup_database.h"

namespace e2e {
namespace {

using lookuptest::Bytes;
using lookuptest::Row;
using lookuptest::UnixSeconds;
using lookuptest::Words;

constexpr uint32_t kCalibrationBlock = 0x203;
constexpr uint32_t kRdVirtString = 0x80000826;

// A healthy instrument with a calibration block (none when block is null).
nvsim::InstrumentConfig Calibrated(const std::string& name, const std::string& serial,
                                   const Words& hardwareId, const std::optional<Bytes>& block) {
  nvsim::InstrumentConfig config = Instrument(name, serial, hardwareId);
  if (block) config.strings.push_back({kCalibrationBlock, *block});
  return config;
}

Bytes Sequence(size_t size, uint8_t first) {
  Bytes bytes(size);
  for (size_t i = 0; i < size; ++i)
    bytes[i] = static_cast<uint8_t>(first + i);
  return bytes;
}

class Lookup : public HostTest {
 protected:
  void SetUp() override {
    HostTest::SetUp();
    if (HasFatalFailure()) return;
    LOOKUP_REQUIRE_SERVER(server_);
    lookuptest::UseServer(server_);
    table_ = std::make_unique<lookuptest::Table>(server_);
  }
  void TearDown() override {
    table_.reset();
    HostTest::TearDown();
  }

  // The listed ids by serial number.
  std::map<std::string, uint32_t> IdsBySerial() {
    std::map<std::string, uint32_t> ids;
    for (uint32_t id : List())
      ids[Serial(id).value_or("?")] = id;
    return ids;
  }
  // The one listed instrument's id.
  uint32_t OnlyId() {
    const auto ids = List();
    EXPECT_EQ(ids.size(), 1u);
    return ids.empty() ? 0 : ids[0];
  }

  lookuptest::Server server_;
  std::unique_ptr<lookuptest::Table> table_;
};

TEST_F(Lookup, FullRecordGivesBothDatesAndBothFlags) {
  const Words words = {0x00A11001, 0x00A11002, 0x00A11003};
  const Bytes block = Sequence(16, 0xC0);
  Bytes stored = block;
  stored[0] ^= 0xFF;  // the framing words are not compared
  stored.insert(stored.end(), {1, 2, 3, 4});
  Add(Calibrated("lk-full", "NV2-L00001", words, block));
  Row row;
  row.hardwareId = words;
  row.serial = "NV2-L00001";
  row.programmed = "2024-05-06 07:08:09";
  row.calibrated = "2025-01-31 23:59:58";
  row.testResults = "[Run 1]\nT=\n[Run 2]\nT=\n";
  row.calibration = stored;
  ASSERT_TRUE(table_->Put(row));

  const uint32_t id = OnlyId();
  for (int call = 0; call < 2; ++call) {  // the second call reuses the connection
    const Answer answer = Look(id);
    ASSERT_EQ(answer.code, NVD_DB_OK) << "call " << call;
    EXPECT_EQ(answer.test, 1);
    EXPECT_EQ(answer.calibration, 1);
    EXPECT_EQ(answer.programmed, UnixSeconds(2024, 5, 6, 7, 8, 9));
    EXPECT_EQ(answer.calibrated, UnixSeconds(2025, 1, 31, 23, 59, 58));
  }
  // Nothing of the row is kept between calls.
  ASSERT_TRUE(table_->SetTestResults(words, "[Run 1]\nT=\n[Run 2]\nT=E12\n"));
  EXPECT_EQ(Look(id).test, 0);
}

TEST_F(Lookup, ZeroProgrammingDateAndSetCalibrationDate) {
  const Words words = {0x00A12001, 0x00A12002, 0x00A12003};
  Add(Calibrated("lk-dates", "NV2-L00002", words, Bytes{}));
  Row row;
  row.hardwareId = words;
  row.serial = "NV2-L00002";
  row.calibrated = "2023-11-30 12:00:00";
  ASSERT_TRUE(table_->Put(row));
  const Answer answer = Look(OnlyId());
  ASSERT_EQ(answer.code, NVD_DB_OK);
  EXPECT_EQ(answer.programmed, 0u);
  EXPECT_EQ(answer.calibrated, UnixSeconds(2023, 11, 30, 12, 0, 0));
  EXPECT_EQ(answer.test, 0);         // no test results
  EXPECT_EQ(answer.calibration, 0);  // no stored calibration

  // Null outputs are skipped, the others still written.
  uint32_t calibratedOnly = 0;
  EXPECT_EQ(Library().getDeviceDatabaseInfo(OnlyId(), nullptr, nullptr, nullptr, &calibratedOnly),
            NVD_DB_OK);
  EXPECT_EQ(calibratedOnly, UnixSeconds(2023, 11, 30, 12, 0, 0));
}

TEST_F(Lookup, HardwareWordsAboveTheSignedRangeSelectAsNegativeNumbers) {
  // The table holds the words as signed numbers: only a statement with
  // -2147483647, -2 and -1879048192 finds this row.
  const Words words = {0x80000001, 0xFFFFFFFE, 0x90000000};
  Add(Calibrated("lk-neg", "NV3-L00003", words, Bytes{0, 0, 0, 0}));
  Row row;
  row.hardwareId = words;
  row.serial = "NV3-L00003";
  row.calibration = Bytes(8, 0);
  ASSERT_TRUE(table_->Put(row));
  const Answer answer = Look(OnlyId());
  EXPECT_EQ(answer.code, NVD_DB_OK);
  EXPECT_EQ(answer.calibration, 1);
}

TEST_F(Lookup, FailuresAnswerTheirCodeAndWriteNothing) {
  const Words noRecord = {0x00A13001, 0x00A13002, 0x00A13003};
  const Words otherCase = {0x00A13101, 0x00A13102, 0x00A13103};
  const Words noBlock = {0x00A13201, 0x00A13202, 0x00A13203};
  Add(Calibrated("lk-none", "NV2-L00004", noRecord, Bytes(4, 0)));
  Add(Calibrated("lk-case", "NV2-L0000A", otherCase, Bytes(4, 0)));
  Add(Calibrated("lk-block", "NV2-L00006", noBlock, std::nullopt));
  table_->Remove(noRecord);
  Row row;
  row.hardwareId = otherCase;
  row.serial = "nv2-l0000a";
  row.calibration = Bytes(8, 0);
  ASSERT_TRUE(table_->Put(row));
  row.hardwareId = noBlock;
  row.serial = "NV2-L00006";
  ASSERT_TRUE(table_->Put(row));

  auto ids = IdsBySerial();
  ASSERT_EQ(ids.size(), 3u);
  const std::pair<uint32_t, uint32_t> cases[] = {
      {ids["NV2-L00004"], NVD_DB_NO_RECORD},        {ids["NV2-L0000A"], NVD_DB_SERIAL_MISMATCH},
      {ids["NV2-L00006"], NVD_DB_NO_CALIBRATION},   {0, NVD_DB_NO_DEVICE},
      {ids["NV2-L00006"] + 1000, NVD_DB_NO_DEVICE},
  };
  for (const auto& [id, code] : cases) {
    const Answer answer = Look(id);
    EXPECT_EQ(answer.code, code) << "id " << id;
    EXPECT_TRUE(answer.Untouched()) << "id " << id;
  }
  // An instrument that merely lacks the block has not failed: it stays.
  EXPECT_EQ(IdsBySerial(), ids);
}

TEST_F(Lookup, RefusedCalibrationReadDropsTheInstrumentAtTheNextListing) {
  const Words words = {0x00A14001, 0x00A14002, 0x00A14003};
  const auto sim = Add(Calibrated("lk-refuse", "NV2-L00007", words, Bytes(4, 9)));
  Row row;
  row.hardwareId = words;
  row.serial = "NV2-L00007";
  row.calibration = Bytes(8, 9);
  ASSERT_TRUE(table_->Put(row));
  const uint32_t id = OnlyId();
  nvsim::Fault refuse;
  refuse.kind = nvsim::FaultKind::kUnrecognized;
  refuse.code = kRdVirtString;
  ASSERT_TRUE(sim_->AddFault(sim, refuse));

  const Answer refused = Look(id);
  EXPECT_EQ(refused.code, NVD_DB_NO_CALIBRATION);
  EXPECT_TRUE(refused.Untouched());
  // Dropped, and found again under a new id; the old one is unknown.
  const uint32_t again = OnlyId();
  EXPECT_GT(again, id);
  EXPECT_EQ(Serial(id), std::nullopt);
  EXPECT_EQ(Look(id).code, NVD_DB_NO_DEVICE);
  const Answer answer = Look(again);
  EXPECT_EQ(answer.code, NVD_DB_OK);
  EXPECT_EQ(answer.calibration, 1);
}

TEST_F(Lookup, TestFlagComesFromTheLastSectionByName) {
  const Words words = {0x00A15001, 0x00A15002, 0x00A15003};
  Add(Calibrated("lk-tests", "NV2-L00008", words, Bytes{}));
  Row row;
  row.hardwareId = words;
  row.serial = "NV2-L00008";
  ASSERT_TRUE(table_->Put(row));
  const uint32_t id = OnlyId();

  // The column is TEXT: at most 65 535 bytes.
  std::string many;
  for (int i = 0; i < 4000; ++i)
    many += "[S" + std::to_string(10000 + i) + "]\nT=\n";
  std::string longLine = "[" + std::string(60000, 'x');

  const std::pair<std::optional<std::string>, uint8_t> cases[] = {
      {"[Run 1]\nT=\n[Run 2]\nT=\n", 1},
      {"[Run 1]\nT=E1\n[Run 2]\nT=E2\n", 0},
      {"", 0},
      {std::nullopt, 0},
      {" [Run 1]\nT=\n", 0},  // does not start with "["
      {"T=\n[Run 1]\nT=\n", 0},
      {"[B]\nT=\n[A]\nT=E3\n", 1},  // B sorts last
      {"[A]\nT=\n[B]\nT=E4\n", 0},
      {"[A]\nU=1\n", 1},  // no "T": the default, empty
      {"[A]\n#include \"/etc/passwd\"\n#define T E5\n#if 0\nT=\n", 1},  // no directive runs
      {"[[[[A]]]]\nT=\n", 0},                    // invalid nesting: no section
      {"[A\nT=E7\n[B]]]\n=\n\x01\x02\nT\n", 1},  // malformed lines: B has no "T"
      {many + "[S99999]\nT=E6\n", 0},
      {many, 1},
      {longLine, 1},
  };
  for (const auto& [text, flag] : cases) {
    ASSERT_TRUE(table_->SetTestResults(words, text));
    const Answer answer = Look(id);
    const std::string shown = text ? text->substr(0, 40) : "NULL";
    ASSERT_EQ(answer.code, NVD_DB_OK) << shown;
    EXPECT_EQ(answer.test, flag) << shown;
  }
}

TEST_F(Lookup, CalibrationFlagComparesTheBytesBetweenTheFramingWords) {
  struct Case {
    const char* serial;
    std::optional<Bytes> block;
    std::optional<Bytes> stored;
    uint8_t flag;
  };
  Bytes framedOnly = Sequence(12, 0x10);  // differs from the block in bytes 0-3 and 8-11
  framedOnly[0] = 0xEE;
  framedOnly[8] = 0xEE;
  Bytes inside = Sequence(12, 0x10);  // differs at byte 4
  inside[4] = 0xEE;
  const Case cases[] = {
      {"NV2-C1", Bytes(4, 0xAA), Bytes(8, 0x55), 1},  // nothing compared
      {"NV2-C2", Bytes(5, 0xAA), Bytes(8, 0x55), 0},  // block of the wrong size
      {"NV2-C3", Sequence(8, 0x10), framedOnly, 1},  {"NV2-C4", Sequence(8, 0x10), inside, 0},
      {"NV2-C5", Bytes(2, 0xAA), Bytes(6, 0x55), 0},  // stored value too short
      {"NV2-C6", Bytes{}, Bytes(4, 0x55), 0},        {"NV2-C7", Bytes(4, 0xAA), std::nullopt, 0},
      {"NV2-C8", Bytes(4, 0xAA), Bytes{}, 0},
  };
  uint32_t n = 0;
  for (const Case& c : cases) {
    const Words words = {0x00A16001 + n, 0x00A16101 + n, 0x00A16201 + n};
    ++n;
    Add(Calibrated(std::string("lk-cal") + std::to_string(n), c.serial, words, c.block));
    Row row;
    row.hardwareId = words;
    row.serial = c.serial;
    row.calibration = c.stored;
    ASSERT_TRUE(table_->Put(row));
  }
  auto ids = IdsBySerial();
  for (const Case& c : cases) {
    const Answer answer = Look(ids[c.serial]);
    ASSERT_EQ(answer.code, NVD_DB_OK) << c.serial;
    EXPECT_EQ(answer.calibration, c.flag) << c.serial;
  }
}

}  // namespace
}  // namespace e2e
