// The instrument's flash and firmware-image commands, frame by frame. The
// containers and CRCs here are built from docs/firmware-format.md by the test
// itself (a bitwise CRC, a hand-made writer), not with the simulator's code.
#include <fstream>
#include <thread>

#include "config_text.h"
#include "raw_client.h"

namespace rawclient {
namespace {

using namespace std::chrono_literals;

constexpr uint32_t kRdSignat = 0x80000101, kWrSignat = 0x80000102, kLoadTarget = 0x80000103,
                   kBlock = 0x80000106, kGetInfo = 0x80000012, kImageWrite = 0x80000013,
                   kUpdate = 0x80000014, kGetStatus = 0x80000005, kHostId = 0xFF12FF01;

// The image CRC bit by bit: each little-endian word, most significant bit
// first, through polynomial 0x04C11DB7 from 0xFFFFFFFF.
uint32_t BitwiseCrc(const Bytes& data) {
  uint32_t crc = 0xFFFFFFFF;
  for (size_t i = 0; i < data.size(); i += 4) {
    uint32_t word = 0;
    for (size_t k = 0; k < 4 && i + k < data.size(); ++k)
      word |= static_cast<uint32_t>(data[i + k]) << (8 * k);
    for (int bit = 31; bit >= 0; --bit) {
      const bool top = ((crc >> 31) ^ (word >> bit)) & 1;
      crc = (crc << 1) ^ (top ? 0x04C11DB7u : 0);
    }
  }
  return crc;
}

size_t Round8(size_t n) {
  return (n + 7) / 8 * 8;
}

// One block: P = 16, masked L and W, the payload padded with 0xFF, trailer.
Bytes Block(uint32_t w, const Bytes& payload) {
  Bytes b;
  const auto l = static_cast<uint32_t>(payload.size());
  Put32(b, 16);
  Put32(b, l ^ 0x5A17C3E9);
  Put32(b, w ^ 0xA5E8193C);
  Put32(b, 0);
  Bytes padded = payload;
  padded.resize(Round8(payload.size()), 0xFF);
  b.insert(b.end(), padded.begin(), padded.end());
  Put32(b, BitwiseCrc(padded));
  Put32(b, l);
  Put32(b, w);
  b.resize(b.size() + 500, 0);
  return b;
}

// The 52-byte header.
Bytes Header(const char magic[8], uint32_t signature, uint32_t targets) {
  Bytes h(magic, magic + 8);
  Put32(h, 52);
  Put32(h, signature);
  const std::string product = "NV-1000";
  h.insert(h.end(), product.begin(), product.end());
  h.resize(36, 0);
  h.push_back(3);  // version 2.03
  h.push_back(2);
  Put32(h, targets);
  Put32(h, targets != 0 ? 264 : 0);
  h.resize(52, 0);
  return h;
}

Bytes Zandor(uint32_t signature, const std::vector<Bytes>& blocks) {
  Bytes file = Header("Zandor\0\0", signature, 0);
  for (const auto& b : blocks)
    file.insert(file.end(), b.begin(), b.end());
  return file;
}

Bytes Vorlinex(uint32_t signature, const std::vector<std::pair<std::string, Bytes>>& targets) {
  Bytes file = Header("Vorlinex", signature, static_cast<uint32_t>(targets.size()));
  for (const auto& [name, data] : targets) {
    Bytes entry(name.begin(), name.end());
    entry.resize(260, 0);
    Put32(entry, static_cast<uint32_t>(data.size()));
    file.insert(file.end(), entry.begin(), entry.end());
  }
  for (const auto& t : targets)
    file.insert(file.end(), t.second.begin(), t.second.end());
  return file;
}

// A command frame with words and then raw bytes.
Bytes CommandWithData(uint32_t code, uint32_t index, std::initializer_list<uint32_t> words,
                      const Bytes& data) {
  Bytes out = Command(code, index, words);
  out.insert(out.end(), data.begin(), data.end());
  const uint32_t length = static_cast<uint32_t>(out.size() - 4);
  for (int i = 0; i < 4; ++i)
    out[i] = static_cast<uint8_t>(length >> (8 * i));
  return out;
}

Bytes Slice(const Bytes& b, size_t from, size_t n) {
  return Bytes(b.begin() + static_cast<std::ptrdiff_t>(from),
               b.begin() + static_cast<std::ptrdiff_t>(std::min(b.size(), from + n)));
}

// The example file of the format document, byte for byte.
Bytes ExampleFile() {
  Bytes f = {0x5A, 0x61, 0x6E, 0x64, 0x6F, 0x72, 0x00, 0x00, 0x34, 0x00, 0x00, 0x00, 0x21, 0x6C,
             0x8A, 0x5B, 0x4E, 0x56, 0x2D, 0x31, 0x30, 0x30, 0x30, 0x00, 0x00, 0x00, 0x00, 0x00,
             0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x03, 0x02, 0x00, 0x00, 0x00, 0x00,
             0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x10, 0x00, 0x00, 0x00,
             0xE3, 0xC3, 0x17, 0x5A, 0x3C, 0x19, 0xE9, 0xA5, 0x00, 0x00, 0x00, 0x00, 0xDE, 0xAD,
             0xBE, 0xEF, 0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF,
             0xAC, 0xB4, 0x0D, 0x08, 0x0A, 0x00, 0x00, 0x00, 0x00, 0x00, 0x01, 0x00};
  f.resize(596, 0);
  return f;
}

class FirmwareTest : public SimulatorTest {
 protected:
  void Open(nvsim::InstrumentConfig config) {
    id_ = AddInstrument(std::move(config));
    ASSERT_EQ(client_.Open(sim_->DevicePath(id_)), 0u);
    ASSERT_TRUE(client_.SetTimeout(2000));
  }
  void OpenLoader() {
    auto config = Config("nv-1");
    config.loader = true;
    Open(config);
  }
  // The reply's first word (a flash status or an error word).
  uint32_t Status(const Bytes& frame) {
    const auto reply = Exchange(client_, frame);
    EXPECT_TRUE(reply);
    if (!reply || reply->payload.size() < 4) return 0xFFFFFFFF;
    return Get32(reply->payload, 0);
  }
  uint32_t SendBlock(uint32_t w, uint32_t l, const Bytes& data) {
    return Status(CommandWithData(kBlock, next_++, {w, l}, data));
  }
  uint32_t Stage(uint32_t signature, uint32_t offset, const Bytes& data) {
    return Status(CommandWithData(kImageWrite, next_++,
                                  {signature, offset, static_cast<uint32_t>(data.size())}, data));
  }
  // Stages the whole image in chunks and closes it.
  void StageAll(const Bytes& image, uint32_t chunk = 256) {
    const uint32_t signature = Get32(image, 12);
    for (size_t at = 0; at < image.size(); at += chunk)
      ASSERT_EQ(Stage(signature, static_cast<uint32_t>(at), Slice(image, at, chunk)), 0u);
    ASSERT_EQ(Stage(signature, static_cast<uint32_t>(image.size()), {}), 0u);
  }
  Reply Ask(uint32_t code, std::initializer_list<uint32_t> params = {}) {
    const auto reply = Exchange(client_, Command(code, next_++, params));
    EXPECT_TRUE(reply);
    return reply.value_or(Reply{});
  }

  nvsim::Simulator::Id id_ = 0;
  Client client_;
  uint32_t next_ = 0;
};

TEST(ImageCrc, CheckValuesAndTheBlockPayloadOfTheExample) {
  EXPECT_EQ(BitwiseCrc({1, 2, 3, 4, 5}), 0xBA237BE3u);
  EXPECT_EQ(nvsim::ImageCrc(Bytes{1, 2, 3, 4, 5}), 0xBA237BE3u);
  const std::string text = "123456789";
  EXPECT_EQ(nvsim::ImageCrc(Bytes(text.begin(), text.end())), 0xAFF19057u);
  const Bytes payload = {0xDE, 0xAD, 0xBE, 0xEF, 1,    2,    3,    4,
                         5,    6,    0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};
  EXPECT_EQ(nvsim::ImageCrc(payload), 0x080DB4ACu);
  EXPECT_EQ(nvsim::ImageCrc(Bytes{}), 0xFFFFFFFFu);
  // The table form agrees with the bit form on every tail length.
  Bytes data;
  for (int i = 0; i < 67; ++i) {
    EXPECT_EQ(nvsim::ImageCrc(data), BitwiseCrc(data)) << i;
    data.push_back(static_cast<uint8_t>(i * 37 + 11));
  }
  // The test's own writer reproduces the document's example byte for byte.
  const Bytes example = ExampleFile();
  EXPECT_EQ(Zandor(0x5B8A6C21, {Block(0x10000, Slice(example, 68, 10))}), example);
}

TEST_F(FirmwareTest, BlockCommandChecksTheTrailerBeforeWriting) {
  OpenLoader();
  const Bytes payload = {0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77, 0x88, 0x99, 0xAA, 0xBB};
  const Bytes block = Block(0x2000, payload);
  const Bytes good = Slice(block, 16, block.size());  // payload on, as the host sends it

  Bytes data = good;
  EXPECT_EQ(SendBlock(0x2000, 12, data), 11u) << "L differs from the trailer's";
  EXPECT_EQ(SendBlock(0x2008, 11, data), 11u) << "W differs from the trailer's";
  data[3] ^= 1;
  EXPECT_EQ(SendBlock(0x2000, 11, data), 9u) << "payload altered";
  data = good;
  data[14] = 0;  // a padding byte counts for the CRC too
  EXPECT_EQ(SendBlock(0x2000, 11, data), 9u);
  EXPECT_EQ(SendBlock(0x2000, 11, Slice(good, 0, good.size() - 1)), 11u) << "cut short";
  // Nothing of the refused blocks reached the flash.
  EXPECT_EQ(sim_->ReadFlash(id_, 0x2000, 16), Bytes(16, 0xFF));

  EXPECT_EQ(SendBlock(0x2000, 11, good), 0u);
  Bytes expect = payload;
  expect.resize(16, 0xFF);  // the padding is not written
  EXPECT_EQ(sim_->ReadFlash(id_, 0x2000, 16), expect);

  // A well-formed block for an address outside the flash.
  const Bytes far = Block(0x000FFFF8, payload);
  EXPECT_EQ(SendBlock(0x000FFFF8, 11, Slice(far, 16, far.size())), 1u);
  const auto writes = sim_->State(id_)->flashWrites;  // refused ones included
  ASSERT_EQ(writes.size(), 7u);
  EXPECT_EQ(writes[5].status, 0u);
  EXPECT_EQ(writes[6].status, 1u);
}

TEST_F(FirmwareTest, LoadTargetAndSignatureNeedTheLoaderAndTheirLengths) {
  auto config = Config("nv-1");
  config.flashBase = 0x08000000;
  config.flashSize = 0x1000;
  config.signatureFile = "nv2.trg";
  Open(config);
  const Bytes data = {1, 2, 3, 4, 5};
  EXPECT_EQ(Status(CommandWithData(kLoadTarget, 0, {0x08000000, 5}, data)), 7u);  // target mode
  EXPECT_EQ(Status(Command(kWrSignat, 1, {0x12345678})), 7u);
  sim_->Remove(id_);

  config.name = "nv-2";
  config.loader = true;
  Open(config);
  EXPECT_EQ(Status(CommandWithData(kLoadTarget, 0, {0x08000010, 5}, data)), 0u);
  EXPECT_EQ(sim_->ReadFlash(id_, 0x0800000E, 8), (Bytes{0xFF, 0xFF, 1, 2, 3, 4, 5, 0xFF}));
  EXPECT_EQ(Status(CommandWithData(kLoadTarget, 1, {0x08000020, 6}, data)), 6u);  // 6 announced
  EXPECT_EQ(Status(CommandWithData(kLoadTarget, 2, {0x08000FFC, 5}, data)), 1u);  // past the end
  EXPECT_EQ(Status(CommandWithData(kLoadTarget, 3, {0x07FFFFFF, 5}, data)), 1u);  // before it
  EXPECT_EQ(Status(CommandWithData(kLoadTarget, 4, {0x08000FFB, 5}, data)), 0u);  // the last 5
  EXPECT_EQ(sim_->ReadFlash(id_, 0x08000FFB, 5), data);
  EXPECT_TRUE(sim_->ReadFlash(id_, 0x08000FFB, 6).empty());

  EXPECT_EQ(Status(Command(kWrSignat, 5, {0x5B8A6C21})), 0u);
  const auto record = Ask(kRdSignat);
  EXPECT_EQ(Get32(record.payload, 0), 0x5B8A6C21u);
  ASSERT_GE(record.payload.size(), 5u + 7);
  EXPECT_EQ(record.payload[4], 7);  // the file name stays
  EXPECT_EQ(std::string(record.payload.begin() + 5, record.payload.begin() + 12), "nv2.trg");
}

TEST_F(FirmwareTest, StagingRules) {
  auto config = Config("nv-1");
  config.imageChunk = 64;
  config.imageCapacity = 200;
  Open(config);
  auto info = Ask(kGetInfo);
  ASSERT_EQ(info.payload.size(), 8u);  // nothing held: loaded and chunk only
  EXPECT_EQ(Get32(info.payload, 0), 0u);
  EXPECT_EQ(Get32(info.payload, 4), 64u);

  Bytes image(150);
  for (size_t i = 0; i < image.size(); ++i)
    image[i] = static_cast<uint8_t>(i * 7 + 3);
  const uint32_t sig = 0x5B8A6C21;
  EXPECT_EQ(Stage(sig, 0, Slice(image, 0, 64)), 0u);
  EXPECT_EQ(Stage(sig, 0, Slice(image, 0, 65)), 3u) << "more than a chunk";
  EXPECT_EQ(Stage(sig, 128, Slice(image, 128, 22)), 1u) << "a gap";
  EXPECT_EQ(Stage(sig, 32, Slice(image, 32, 32)), 1u) << "an overlap";
  EXPECT_EQ(Stage(sig + 1, 64, Slice(image, 64, 64)), 2u) << "another image";
  EXPECT_EQ(Status(CommandWithData(kImageWrite, 9, {sig, 64, 64}, Slice(image, 64, 63))), 5u);
  EXPECT_EQ(Stage(sig, 64, Slice(image, 64, 64)), 0u);

  info = Ask(kGetInfo);
  ASSERT_EQ(info.payload.size(), 16u);
  EXPECT_EQ(Get32(info.payload, 0), 128u);
  EXPECT_EQ(Get32(info.payload, 8), sig);
  EXPECT_EQ(Get32(info.payload, 12), BitwiseCrc(Slice(image, 0, 128)));
  EXPECT_FALSE(sim_->State(id_)->stagedClosed);

  EXPECT_EQ(Stage(sig, 128, Bytes(64, 0)), 0u);
  EXPECT_EQ(Stage(sig, 192, Bytes(9, 0)), 4u) << "past the staging memory";
  // A write at offset 0 starts afresh, with its own signature.
  EXPECT_EQ(Stage(sig + 5, 0, Slice(image, 0, 64)), 0u);
  EXPECT_EQ(Stage(sig + 5, 64, Slice(image, 64, 64)), 0u);
  EXPECT_EQ(Stage(sig + 5, 128, Slice(image, 128, 22)), 0u);
  EXPECT_EQ(Stage(sig + 5, 151, {}), 1u) << "closing write not at the end";
  EXPECT_EQ(Stage(sig + 5, 150, {}), 0u);
  info = Ask(kGetInfo);
  EXPECT_EQ(Get32(info.payload, 0), 150u);
  EXPECT_EQ(Get32(info.payload, 8), sig + 5);
  EXPECT_EQ(Get32(info.payload, 12), BitwiseCrc(image));

  const auto state = sim_->State(id_);
  EXPECT_TRUE(state->stagedClosed);
  EXPECT_EQ(state->stagedBytes, 150u);
  ASSERT_EQ(state->imageWrites.size(), 14u);  // refused ones included
  EXPECT_EQ(state->imageWrites[2].offset, 128u);
  EXPECT_EQ(state->imageWrites[2].n, 22u);
  EXPECT_EQ(state->imageWrites[2].error, 1u);
  EXPECT_EQ(state->imageWrites.back().n, 0u);
}

TEST_F(FirmwareTest, UpdateBurnsTheStagedExampleAndComesBackWithItsSignature) {
  auto config = Config("nv-1");
  config.loader = true;
  config.burnWaitMs = 400;
  Open(config);
  const Bytes image = ExampleFile();
  StageAll(image, 100);
  auto reply = Ask(kUpdate, {kHostId, 0, 0x5B8A6C21});
  ASSERT_EQ(reply.payload.size(), 8u);
  EXPECT_EQ(Get32(reply.payload, 0), 0u);
  EXPECT_EQ(Get32(reply.payload, 4), 400u);  // the burn wait

  // It drops off the bus, and is back after the burn wait in its target.
  EXPECT_TRUE(client_.ClosedByPeer(2000));
  const auto gone = std::chrono::steady_clock::now();
  ASSERT_TRUE(sim_->WaitFor(
      id_, [](const auto& s) { return !s.plugged; }, 2000));
  ASSERT_TRUE(sim_->WaitFor(
      id_, [](const auto& s) { return s.plugged; }, 4000));
  EXPECT_GE(std::chrono::steady_clock::now() - gone, std::chrono::milliseconds(Real(400) - 2));
  EXPECT_EQ(sim_->ReadFlash(id_, 0x10000, 12),
            (Bytes{0xDE, 0xAD, 0xBE, 0xEF, 1, 2, 3, 4, 5, 6, 0xFF, 0xFF}));
  ASSERT_EQ(client_.Open(sim_->DevicePath(id_)), 0u);
  EXPECT_EQ(Get32(Ask(kGetStatus).payload, 0) & 1, 0u);
  EXPECT_EQ(Get32(Ask(kRdSignat).payload, 0), 0x5B8A6C21u);
  const auto state = sim_->State(id_);
  EXPECT_EQ(state->burns, 1u);
  EXPECT_EQ(state->stagedBytes, 0u);  // the staged image is used up
  EXPECT_EQ(Get32(Ask(kGetInfo).payload, 0), 0u);
}

TEST_F(FirmwareTest, UpdateRefusals) {
  OpenLoader();
  const uint32_t sig = 0x5B8A6C21;
  auto update = [&](uint32_t host, uint32_t index, uint32_t signature) {
    const auto reply = Ask(kUpdate, {host, index, signature});
    EXPECT_EQ(reply.payload.size(), 8u);
    EXPECT_EQ(Get32(reply.payload, 4), 0u) << "no burn wait with an error";
    return Get32(reply.payload, 0);
  };
  EXPECT_EQ(update(kHostId, 0, sig), 6u) << "nothing staged";
  const Bytes good =
      Zandor(sig, {Block(0x100, {1, 2, 3}), Block(0x200, {4, 5, 6, 7, 8, 9, 10, 11, 12})});
  EXPECT_EQ(Stage(sig, 0, Slice(good, 0, 256)), 0u);
  EXPECT_EQ(update(kHostId, 0, sig), 7u) << "not closed";
  StageAll(good);
  EXPECT_EQ(update(0, 0, sig), 11u) << "no HOST_ID";
  EXPECT_EQ(update(kHostId, 0, sig + 1), 2u) << "another signature";
  EXPECT_EQ(update(kHostId, 1, sig), 8u) << "a single-target file has target 0 only";

  // A second block whose trailer CRC is wrong: nothing at all is written.
  Bytes bad = good;
  bad[bad.size() - 512] ^= 0x40;
  StageAll(bad);
  EXPECT_EQ(update(kHostId, 0, sig), 10u);
  EXPECT_EQ(sim_->ReadFlash(id_, 0x100, 3), Bytes(3, 0xFF));

  // Not a container, and one whose last block runs past the end.
  Bytes text(600, 'x');
  text[12] = 0x21, text[13] = 0x6C, text[14] = 0x8A, text[15] = 0x5B;
  StageAll(text);
  EXPECT_EQ(update(kHostId, 0, sig), 9u);
  StageAll(Slice(good, 0, good.size() - 1));
  EXPECT_EQ(update(kHostId, 0, sig), 9u);
  // Staged under another signature than its own offset 12.
  for (size_t at = 0; at < good.size(); at += 256)
    ASSERT_EQ(Stage(sig + 9, static_cast<uint32_t>(at), Slice(good, at, 256)), 0u);
  ASSERT_EQ(Stage(sig + 9, static_cast<uint32_t>(good.size()), {}), 0u);
  EXPECT_EQ(update(kHostId, 0, sig + 9), 2u);

  const auto state = sim_->State(id_);
  EXPECT_EQ(state->burns, 0u);
  EXPECT_TRUE(state->plugged);
  EXPECT_NE(state->signature, sig);
}

TEST_F(FirmwareTest, UpdateOfOneTargetOfAMultiTargetFile) {
  OpenLoader();
  const Bytes main = Block(0x1000, Bytes(40, 0xAA));
  Bytes aux = Block(0x3000, Bytes(8, 0xBB));
  const Bytes aux2 = Block(0x3100, Bytes(3, 0xCC));
  aux.insert(aux.end(), aux2.begin(), aux2.end());
  const Bytes file = Vorlinex(0x5C000001, {{"main", main}, {"aux", aux}});
  StageAll(file);
  EXPECT_EQ(Get32(Ask(kUpdate, {kHostId, 2, 0x5C000001}).payload, 0), 8u);
  EXPECT_EQ(Get32(Ask(kUpdate, {kHostId, 1, 0x5C000001}).payload, 0), 0u);
  EXPECT_EQ(sim_->ReadFlash(id_, 0x1000, 4), Bytes(4, 0xFF)) << "main is left alone";
  EXPECT_EQ(sim_->ReadFlash(id_, 0x3000, 9),
            (Bytes{0xBB, 0xBB, 0xBB, 0xBB, 0xBB, 0xBB, 0xBB, 0xBB, 0xFF}));
  EXPECT_EQ(sim_->ReadFlash(id_, 0x3100, 4), (Bytes{0xCC, 0xCC, 0xCC, 0xFF}));
  EXPECT_EQ(sim_->State(id_)->signature, 0x5C000001u);
}

TEST_F(FirmwareTest, WithoutImageSupportAndWhenTheBurnNeverEnds) {
  auto config = Config("nv-1");
  config.imageSupport = false;
  Open(config);
  for (uint32_t code : {kGetInfo, kImageWrite, kUpdate})
    EXPECT_EQ(Ask(code, {kHostId, 0, 0}).word & 0xE0FFFFFF, 0xE0000006u);
  sim_->Remove(id_);

  config.name = "nv-2";
  config.imageSupport = true;
  config.burnAwayMs = nvsim::kNever;
  Open(config);
  const Bytes image = Zandor(0x5B000000, {Block(0x40, {9, 9})});
  StageAll(image);
  EXPECT_EQ(Get32(Ask(kUpdate, {kHostId, 0, 0x5B000000}).payload, 0), 0u);
  ASSERT_TRUE(sim_->WaitFor(
      id_, [](const auto& s) { return !s.plugged; }, 2000));
  std::this_thread::sleep_for(std::chrono::milliseconds(Real(1000)));
  const auto state = sim_->State(id_);
  EXPECT_FALSE(state->plugged) << "stays away";
  EXPECT_EQ(state->burns, 1u);
  EXPECT_EQ(sim_->ReadFlash(id_, 0x40, 2), (Bytes{9, 9}));
}

TEST_F(FirmwareTest, InjectedStatusesAndUnplugDuringProgramming) {
  OpenLoader();
  // The third LOAD_TARGET fails with FLASH_VERIFY, the image write at 512
  // with error 5; neither has an effect.
  auto addFault = [&](const std::string& text) {
    nvsim::Fault fault;
    std::string error;
    ASSERT_TRUE(nvsim::ParseFault(text, fault, error)) << error;
    sim_->AddFault(id_, fault);
  };
  addFault("status code=LOAD_TARGET skip=2 value=4");
  addFault("status code=FW_IMAGE_WRITE at=512 value=5");
  for (uint32_t i = 0; i < 4; ++i) {
    EXPECT_EQ(Status(CommandWithData(kLoadTarget, i, {0x100 * i, 2}, {7, 7})), i == 2 ? 4u : 0u);
  }
  EXPECT_EQ(sim_->ReadFlash(id_, 0x200, 2), Bytes(2, 0xFF));
  EXPECT_EQ(sim_->ReadFlash(id_, 0x300, 2), Bytes(2, 7));
  for (uint32_t at = 0; at < 768; at += 256)
    EXPECT_EQ(Stage(1, at, Bytes(256, 1)), at == 512 ? 5u : 0u);
  EXPECT_EQ(Stage(1, 512, Bytes(256, 1)), 0u) << "times = 1";
  auto state = sim_->State(id_);
  EXPECT_EQ(state->stagedBytes, 768u);
  ASSERT_EQ(state->imageWrites.size(), 4u);
  EXPECT_EQ(state->imageWrites[2].error, 5u);

  // Unplug at the second block: the first is in flash, the instrument is gone.
  addFault("unplug code=0x80000106 skip=1 delay=10 replug=never");
  const Bytes b1 = Block(0x800, {1, 2, 3, 4});
  const Bytes b2 = Block(0x900, {5, 6, 7, 8});
  EXPECT_EQ(SendBlock(0x800, 4, Slice(b1, 16, b1.size())), 0u);
  ASSERT_TRUE(client_.Write(CommandWithData(kBlock, 30, {0x900, 4}, Slice(b2, 16, b2.size()))));
  EXPECT_TRUE(client_.ClosedByPeer(2000));
  EXPECT_FALSE(sim_->State(id_)->plugged);
  EXPECT_EQ(sim_->ReadFlash(id_, 0x800, 4), (Bytes{1, 2, 3, 4}));
}

TEST_F(FirmwareTest, PreloadedStagingFromTheConfigFile) {
  Bytes image = Zandor(0x5B8A6C21, {Block(0x100, Bytes(300, 0x5A))});
  const std::string path = root_ + "/image.bin";
  std::ofstream(path, std::ios::binary)
      .write(reinterpret_cast<const char*>(image.data()),
             static_cast<std::streamsize>(image.size()));
  auto check = [&](const std::string& value, uint32_t held, bool crcMatches, bool closed) {
    auto config = Config("nv-" + std::to_string(++next_));
    std::string error;
    ASSERT_TRUE(nvsim::ApplySetting(config, "staged", value, error)) << error;
    Open(config);
    const auto info = Ask(kGetInfo);
    ASSERT_EQ(info.payload.size(), 16u) << value;
    EXPECT_EQ(Get32(info.payload, 0), held) << value;
    EXPECT_EQ(Get32(info.payload, 8), 0x5B8A6C21u) << value;
    EXPECT_EQ(Get32(info.payload, 12) == BitwiseCrc(Slice(image, 0, held)), crcMatches) << value;
    EXPECT_EQ(sim_->State(id_)->stagedClosed, closed) << value;
    client_.Close();
  };
  check(path + " 500", 500, true, false);
  check(path + " 500 bad-crc", 500, false, false);
  check(path, static_cast<uint32_t>(image.size()), true, true);
  check(path + " all", static_cast<uint32_t>(image.size()), true, true);
  auto config = Config("nv-x");
  std::string error;
  EXPECT_FALSE(nvsim::ApplySetting(config, "staged", root_ + "/missing 10", error));
  EXPECT_FALSE(nvsim::ApplySetting(config, "staged", path + " ten", error));
  EXPECT_FALSE(nvsim::ApplySetting(config, "image_chunk", "0", error));
}

}  // namespace
}  // namespace rawclient
