// The simulated instrument's commands, frame by frame, through the stand-in.
#include <string>

#include "raw_client.h"

namespace rawclient {
namespace {

constexpr uint32_t kGetStatus = 0x80000005, kSetExchange = 0x80000007, kResetTarget = 0x80000009,
                   kGetVersion = 0x8000000A, kGetSerial = 0x8000000B, kSetDebug = 0x8000000C,
                   kRdDebugTrace = 0x8000000F, kRdSignat = 0x80000101, kStartTarget = 0x80000104,
                   kRdFlashArea = 0x8000081C, kRdVirtSfr = 0x80000824, kWrVirtSfr = 0x80000825,
                   kRdVirtString = 0x80000826, kHostId = 0xFF12FF01;

// Reads fields of a reply payload in order.
class Payload {
 public:
  explicit Payload(const Bytes& bytes) : b_(bytes) {}
  uint32_t U32() {
    const uint32_t v = Get32(b_, pos_);
    pos_ += 4;
    return v;
  }
  uint16_t U16() {
    const uint16_t v = Get16(b_, pos_);
    pos_ += 2;
    return v;
  }
  uint8_t U8() { return b_.at(pos_++); }
  std::string Text(size_t n) {
    std::string s(b_.begin() + static_cast<std::ptrdiff_t>(pos_),
                  b_.begin() + static_cast<std::ptrdiff_t>(pos_ + n));
    pos_ += n;
    return s;
  }
  Bytes Take(size_t n) {
    Bytes out(b_.begin() + static_cast<std::ptrdiff_t>(pos_),
              b_.begin() + static_cast<std::ptrdiff_t>(pos_ + n));
    pos_ += n;
    return out;
  }
  size_t Left() const { return b_.size() - pos_; }

 private:
  const Bytes& b_;
  size_t pos_ = 0;
};

// Flash-area unmasking: state = state * 22695477 + 1, output bits 16..30,
// each byte xored with the low byte of the next output.
Bytes Unmask(const Bytes& masked, uint32_t seed) {
  uint32_t state = seed;
  Bytes out;
  for (uint8_t b : masked) {
    state = state * 22695477u + 1u;
    out.push_back(static_cast<uint8_t>(b ^ ((state >> 16) & 0x7FFF)));
  }
  return out;
}

std::string CString(const Bytes& area, size_t offset, size_t width) {
  std::string s;
  for (size_t i = offset; i < offset + width && area[i] != 0; ++i)
    s.push_back(static_cast<char>(area[i]));
  return s;
}

class CommandsTest : public SimulatorTest {
 protected:
  void Open(nvsim::InstrumentConfig config) {
    id_ = AddInstrument(std::move(config));
    ASSERT_EQ(client_.Open(sim_->DevicePath(id_)), 0u);
    ASSERT_TRUE(client_.SetTimeout(2000));
  }
  Reply Ask(uint32_t code, std::initializer_list<uint32_t> params = {}, uint32_t index = 0) {
    const auto reply = Exchange(client_, Command(code, index, params));
    EXPECT_TRUE(reply) << std::hex << code;
    return reply.value_or(Reply{});
  }

  nvsim::Simulator::Id id_ = 0;
  Client client_;
};

TEST_F(CommandsTest, SetExchangeEchoesTheCommandWordAndReportsSizes) {
  auto config = Config("nv-1");
  config.targetId = 0xDEDA0105;
  config.inBufferSize = 2048;
  config.outBufferSize = 512;
  Open(config);
  auto reply = Ask(kSetExchange, {kHostId}, 7);
  EXPECT_EQ(reply.word, 0x87000007u);
  EXPECT_EQ(reply.length, 12u);  // exactly 16 bytes: no interface word
  Payload p(reply.payload);
  EXPECT_EQ(p.U32(), 0xDEDA0105u);
  EXPECT_EQ(p.U16(), 2048);
  EXPECT_EQ(p.U16(), 512);

  sim_->Remove(id_);
  config.name = "nv-2";
  config.interfaceWord = 0x0201;
  Open(config);
  reply = Ask(kSetExchange, {kHostId}, 31);
  EXPECT_EQ(reply.word, 0x9F000007u);
  ASSERT_EQ(reply.payload.size(), 12u);
  EXPECT_EQ(Get32(reply.payload, 8), 0x0201u);
}

TEST_F(CommandsTest, StatusProbeAndUnknownCommands) {
  auto config = Config("nv-1");
  config.status = 0x00000085;  // BOOT_BIT is the mode's, not the config's
  Open(config);
  auto reply = Ask(kGetStatus, {}, 2);
  EXPECT_EQ(reply.word, 0x82000005u);
  EXPECT_EQ(Get32(reply.payload, 0), 0x00000084u);
  EXPECT_EQ(Get32(Ask(kSetDebug, {kHostId}).payload, 0), 0xFF01FF32u);

  // Commands the instrument does not have: code 0xE0000006, index kept.
  for (uint32_t code : {0x80000A05u, 0x80000A06u, 0x80345678u}) {
    reply = Ask(code, {1, 2}, 5);
    EXPECT_EQ(reply.word, 0xE5000006u);
    EXPECT_EQ(reply.length, 4u);
  }
}

TEST_F(CommandsTest, FlashAreasAreMaskedWithTheSeedTheyCarry) {
  auto config = Config("nv-1");
  config.publicArea.prodSerNumber = "NV2-000123";
  config.publicArea.prodName = "NV2 monitor";
  config.publicArea.targetStartTimeOut = 750;
  config.publicArea.comment = "bench unit";
  config.flashAreas[7] = {1, 2, 3};
  Open(config);

  uint32_t lastSeed = 0;
  for (int round = 0; round < 2; ++round) {
    const auto reply = Ask(kRdFlashArea, {1});
    Payload p(reply.payload);
    ASSERT_EQ(p.U32(), 0u);  // FLASH_OK
    const uint32_t seed = p.U32();
    EXPECT_NE(seed, lastSeed);  // a fresh seed every time by default
    lastSeed = seed;
    const Bytes plain = Unmask(p.Take(p.Left()), seed);
    ASSERT_EQ(Get32(plain, 0), 448u);
    const Bytes area(plain.begin() + 4, plain.end());
    ASSERT_EQ(area.size(), 448u);
    EXPECT_EQ(Get32(area, 4), 448u);  // StructLen
    EXPECT_EQ(CString(area, 12, 32), "NV2-000123");
    EXPECT_EQ(CString(area, 76, 64), "NV2 monitor");
    EXPECT_EQ(CString(area, 152, 32), "Norvane");
    EXPECT_EQ(Get32(area, 188), 750u);
    EXPECT_EQ(CString(area, 192, 256), "bench unit");
  }

  auto reply = Ask(kRdFlashArea, {7});
  Payload p(reply.payload);
  EXPECT_EQ(p.U32(), 0u);
  const uint32_t seed = p.U32();
  EXPECT_EQ(Unmask(p.Take(p.Left()), seed), (Bytes{3, 0, 0, 0, 1, 2, 3}));

  reply = Ask(kRdFlashArea, {9});
  EXPECT_EQ(reply.payload, (Bytes{12, 0, 0, 0}));  // FLASH_INVALID_AREA_NAME, nothing more
}

TEST_F(CommandsTest, ShortPublicAreaAndFixedSeed) {
  auto config = Config("nv-1");
  config.publicArea.size = 100;
  config.publicArea.prodSerNumber = "S-1";
  config.flashSeed = 0x00C0FFEE;
  Open(config);
  const auto reply = Ask(kRdFlashArea, {1});
  Payload p(reply.payload);
  p.U32();
  EXPECT_EQ(p.U32(), 0x00C0FFEEu);
  const Bytes plain = Unmask(p.Take(p.Left()), 0x00C0FFEE);
  EXPECT_EQ(Get32(plain, 0), 100u);
  EXPECT_EQ(plain.size(), 104u);
  EXPECT_EQ(CString(plain, 4 + 12, 32), "S-1");
}

TEST_F(CommandsTest, TextsThatFillTheirFieldHaveNoTerminator) {
  auto config = Config("nv-1");
  config.publicArea.prodSerNumber = std::string(40, 'S');  // longer than char[32]
  config.publicArea.trgFileName = std::string(31, 'T');    // fits with its NUL
  config.flashSeed = 7;
  Open(config);
  const auto reply = Ask(kRdFlashArea, {1});
  Payload p(reply.payload);
  p.U32();
  p.U32();
  const Bytes plain = Unmask(p.Take(p.Left()), 7);
  const Bytes serial(plain.begin() + 4 + 12, plain.begin() + 4 + 44);
  EXPECT_EQ(serial, Bytes(32, 'S'));  // all 32 bytes, no NUL anywhere
  EXPECT_EQ(plain[4 + 44], 'T');      // the next field starts right after it
  EXPECT_EQ(plain[4 + 44 + 31], 0);
}

TEST_F(CommandsTest, VersionSerialAndSignature) {
  auto config = Config("nv-1");
  config.bootVersion = 0x00010002;
  config.bootDate = "Mar 12 2024";
  config.targetVersion = 0x0002000A;
  config.targetDate = "Apr 01 2025";
  config.versionSuffix = u"b2";
  config.hwId[0] = 0x123;
  config.hwId[1] = 0x456;
  config.hwId[2] = 0x789;
  config.serialExtra = {0xAA, 0xBB};
  config.signature = 0x5A816000;
  config.signatureFile = "nv2.trg";
  Open(config);

  auto reply = Ask(kGetVersion);
  Payload v(reply.payload);
  EXPECT_EQ(v.U32(), 0x00010002u);
  EXPECT_EQ(v.Text(v.U8()), "Mar 12 2024");
  EXPECT_EQ(v.U32(), 0x0002000Au);
  EXPECT_EQ(v.Text(v.U8()), "Apr 01 2025");
  ASSERT_EQ(v.U8(), 2);
  EXPECT_EQ(v.U16(), u'b');
  EXPECT_EQ(v.U16(), u'2');
  EXPECT_EQ(v.Left(), 0u);

  reply = Ask(kGetSerial);
  Payload s(reply.payload);
  ASSERT_EQ(s.U32(), 14u);
  EXPECT_EQ(s.U32(), 0x123u);
  EXPECT_EQ(s.U32(), 0x456u);
  EXPECT_EQ(s.U32(), 0x789u);
  EXPECT_EQ(s.Take(2), (Bytes{0xAA, 0xBB}));

  reply = Ask(kRdSignat);
  Payload g(reply.payload);
  EXPECT_EQ(g.U32(), 0x5A816000u);
  EXPECT_EQ(g.Text(g.U8()), "nv2.trg");
  EXPECT_EQ(g.Left(), 0u);  // no text, no status bytes unless configured
}

TEST_F(CommandsTest, VirtualStringsAndRegisters) {
  auto config = Config("nv-1");
  config.strings.push_back({0x203, {0x10, 0x20, 0x30}});
  config.strings.push_back({3, {}});
  config.registers.push_back({0x10, 7, true});
  config.registers.push_back({0x11, 300, false});
  Open(config);

  auto reply = Ask(kRdVirtString, {0x203});
  EXPECT_EQ(reply.payload, (Bytes{1, 0, 0, 0, 3, 0, 0, 0, 0x10, 0x20, 0x30}));
  reply = Ask(kRdVirtString, {3});
  EXPECT_EQ(reply.payload, (Bytes{1, 0, 0, 0, 0, 0, 0, 0}));
  reply = Ask(kRdVirtString, {0x204});
  EXPECT_EQ(reply.payload, (Bytes{0, 0, 0, 0}));

  EXPECT_EQ(Ask(kRdVirtSfr, {0x10}).payload, (Bytes{1, 0, 0, 0, 7, 0, 0, 0}));
  EXPECT_EQ(Ask(kRdVirtSfr, {0x99}).payload, (Bytes{0, 0, 0, 0}));
  EXPECT_EQ(Get32(Ask(kWrVirtSfr, {0x10, 1234}).payload, 0), 1u);
  EXPECT_EQ(sim_->Register(id_, 0x10), 1234u);
  EXPECT_EQ(Get32(Ask(kWrVirtSfr, {0x11, 1}).payload, 0), 0u);  // read-only
  EXPECT_EQ(Get32(Ask(kWrVirtSfr, {0x99, 1}).payload, 0), 0u);  // absent
  EXPECT_EQ(sim_->Register(id_, 0x11), 300u);
}

TEST_F(CommandsTest, CommandsArriveInPiecesAsTheHostChunksWrites) {
  Open(Config("nv-1"));
  const Bytes frame = Command(kRdVirtSfr, 4, {0x10});
  ASSERT_TRUE(client_.Write(Bytes(frame.begin(), frame.begin() + 3)));
  ASSERT_TRUE(client_.Write(Bytes(frame.begin() + 3, frame.begin() + 9)));
  ASSERT_TRUE(client_.Write({}));
  ASSERT_TRUE(client_.Write(Bytes(frame.begin() + 9, frame.end())));
  const auto reply = ReadReply(client_);
  ASSERT_TRUE(reply);
  EXPECT_EQ(reply->word, 0x84000824u);
  EXPECT_EQ(sim_->State(id_)->commands, 1u);
}

TEST_F(CommandsTest, DebugTraceListsTheNewestCommandsThatFit) {
  auto config = Config("nv-1");
  config.inBufferSize = 100;  // room for (100 - 12) / 28 = 3 entries
  Open(config);
  Ask(kGetStatus, {}, 1);
  Ask(kRdVirtSfr, {0x42}, 2);
  Ask(0x80000A05, {}, 3);  // unrecognized
  Ask(kGetVersion, {}, 4);

  const auto reply = Ask(kRdDebugTrace);
  Payload p(reply.payload);
  ASSERT_EQ(p.U32(), 3u * 28);
  struct Row {
    uint32_t cmd, cmdLen, rep, repLen, d1, d2, t;
  };
  std::vector<Row> rows;
  for (int i = 0; i < 3; ++i)
    rows.push_back({p.U32(), p.U32(), p.U32(), p.U32(), p.U32(), p.U32(), p.U32()});
  EXPECT_EQ(rows[0].cmd, 0x82000824u);
  EXPECT_EQ(rows[0].cmdLen, 8u);
  EXPECT_EQ(rows[0].rep, 0x82000824u);
  EXPECT_EQ(rows[0].repLen, 8u);  // available word only
  EXPECT_EQ(rows[0].d1, 0x42u);
  EXPECT_EQ(rows[1].cmd, 0x83000A05u);
  EXPECT_EQ(rows[1].rep, 0xE3000006u);
  EXPECT_EQ(rows[1].repLen, 4u);
  EXPECT_EQ(rows[2].cmd, 0x8400000Au);
  EXPECT_LE(rows[0].t, rows[2].t);
  EXPECT_LT(rows[0].d2, rows[2].d2);
}

TEST_F(CommandsTest, ResetAndStartSwitchModesThroughReenumeration) {
  auto config = Config("nv-1");
  config.reenumDelayMs = 1000;
  Open(config);
  const std::string path = sim_->DevicePath(id_);

  auto reply = Ask(kResetTarget, {kHostId}, 1);
  EXPECT_EQ(reply.word, 0x81000009u);
  EXPECT_EQ(reply.length, 4u);
  // The instrument drops off once the reply is taken, then comes back.
  EXPECT_TRUE(client_.ClosedByPeer(2000));
  ASSERT_TRUE(sim_->WaitFor(
      id_, [](const auto& s) { return s.plugs == 2 && s.plugged; }, 50000));
  ASSERT_EQ(client_.Open(path), 0u);
  EXPECT_EQ(Get32(Ask(kGetStatus).payload, 0) & 1, 1u);  // BOOT_BIT: in the loader

  reply = Ask(kStartTarget, {kHostId});
  EXPECT_EQ(reply.payload, (Bytes{0, 0, 0, 0}));
  EXPECT_TRUE(client_.ClosedByPeer(2000));
  ASSERT_TRUE(sim_->WaitFor(
      id_, [](const auto& s) { return s.plugs == 3 && s.plugged; }, 50000));
  ASSERT_EQ(client_.Open(path), 0u);
  EXPECT_EQ(Get32(Ask(kGetStatus).payload, 0) & 1, 0u);
}

TEST_F(CommandsTest, StartTargetWithInvalidTargetStaysInTheLoader) {
  auto config = Config("nv-1");
  config.loader = true;
  config.startStatus = 13;  // FLASH_INVALID_TARGET
  Open(config);
  EXPECT_EQ(Get32(Ask(kStartTarget, {kHostId}).payload, 0), 13u);
  EXPECT_FALSE(client_.ClosedByPeer(Real(1000)));
  EXPECT_EQ(Get32(Ask(kGetStatus).payload, 0) & 1, 1u);
  EXPECT_EQ(sim_->State(id_)->plugs, 1u);
}

}  // namespace
}  // namespace rawclient
