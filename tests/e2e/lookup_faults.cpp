// GetDeviceDatabaseInfo under faults, through the loaded library: lookups
// from ever new threads, a server that stops answering, a table or column
// that goes away, a stored serial number with a NUL byte inside. The tests
// break tables, so they work in a schema of their own (a copy of the
// Norvane table in "<test schema>_lk<process id>"), which every case of the
// process shares: the library keeps the schema of its first connection.
#include <mysql.h>

#include <atomic>
#include <chrono>
#include <future>
#include <thread>
#include <vector>

#include "host.h"
#include "lookup_database.h"
#include "platform/thread.h"

namespace e2e {
namespace {

using lookuptest::Row;
using lookuptest::Words;
using Clock = std::chrono::steady_clock;

// The library's time-outs (README.md): 5 s to connect, 10 s for a reply.
// Bounds here are generous; they tell a time-out from none at all.
constexpr auto kReplyBound = std::chrono::seconds(40);
// An identity export waits for no server: far less than any time-out.
constexpr auto kPromptBound = std::chrono::seconds(2);

// A client connection of the test's own, kept open (a table lock lives as
// long as its connection).
class Client {
 public:
  Client(const lookuptest::Server& server, const std::string& schema)
      : handle_(mysql_init(nullptr)) {
    if (handle_ != nullptr && mysql_real_connect(handle_, server.host.c_str(), server.user.c_str(),
                                                 server.password.c_str(), schema.c_str(),
                                                 server.port, nullptr, 0) == nullptr) {
      ADD_FAILURE() << "cannot connect to the test server: " << mysql_error(handle_);
      mysql_close(handle_);
      handle_ = nullptr;
    }
  }
  ~Client() {
    if (handle_ != nullptr) mysql_close(handle_);
  }
  Client(const Client&) = delete;
  Client& operator=(const Client&) = delete;

  bool Exec(const std::string& sql) {
    if (handle_ == nullptr) return false;
    if (mysql_real_query(handle_, sql.data(), sql.size()) != 0) {
      ADD_FAILURE() << "statement failed: " << mysql_error(handle_) << "\n" << sql;
      return false;
    }
    if (MYSQL_RES* result = mysql_store_result(handle_)) mysql_free_result(result);
    return true;
  }
  // The one number a query answers; -1 on failure.
  long Number(const std::string& sql) {
    long value = -1;
    if (handle_ != nullptr && mysql_real_query(handle_, sql.data(), sql.size()) == 0) {
      if (MYSQL_RES* result = mysql_store_result(handle_)) {
        MYSQL_ROW row = mysql_fetch_row(result);
        if (row != nullptr && row[0] != nullptr) value = std::atol(row[0]);
        mysql_free_result(result);
      }
    }
    return value;
  }
  void Close() {
    if (handle_ != nullptr) mysql_close(handle_);
    handle_ = nullptr;
  }

 private:
  MYSQL* handle_;
};

// The process's own schema with an empty copy of the Norvane table; dropped
// when the process ends.
class OwnSchema {
 public:
  static const OwnSchema& Get(const lookuptest::Server& server) {
    static OwnSchema schema(server);
    return schema;
  }
  ~OwnSchema() {
    Client client(server_, base_);
    client.Exec("drop database if exists " + server_.name);
  }
  const lookuptest::Server& Server() const { return server_; }
  const std::string& Base() const { return base_; }

 private:
  explicit OwnSchema(const lookuptest::Server& server) : server_(server), base_(server.name) {
    server_.name = base_ + "_lk" + std::to_string(platform::CurrentProcessId());
    Client client(server_, base_);
    client.Exec("drop database if exists " + server_.name);
    client.Exec("create database " + server_.name);
    client.Exec("create table " + server_.name + ".Norvane like " + base_ + ".Norvane");
  }
  lookuptest::Server server_;
  std::string base_;
};

class LookupFaults : public HostTest {
 protected:
  void SetUp() override {
    HostTest::SetUp();
    if (HasFatalFailure()) return;
    LOOKUP_REQUIRE_SERVER(base_);
    own_ = OwnSchema::Get(base_).Server();
    lookuptest::UseServer(own_);
    table_ = std::make_unique<lookuptest::Table>(own_);
  }
  void TearDown() override {
    table_.reset();
    HostTest::TearDown();
  }

  // One instrument with a row of its own; its id.
  uint32_t Registered(const std::string& name, const std::string& serial, const Words& words) {
    nvsim::InstrumentConfig config = Instrument(name, serial, words);
    config.strings.push_back({0x203, {}});
    Add(config);
    Row row;
    row.hardwareId = words;
    row.serial = serial;
    row.programmed = "2024-03-01 10:00:00";
    EXPECT_TRUE(table_->Put(row));
    const auto ids = List();
    EXPECT_EQ(ids.size(), 1u);
    return ids.empty() ? 0 : ids[0];
  }
  // Connections of the library to the own schema (the test's own clients
  // use the base schema).
  long LibraryConnections() {
    Client client(base_, base_.name);
    return client.Number("select count(*) from information_schema.processlist where db='" +
                         own_.name + "'");
  }

  lookuptest::Server base_;
  lookuptest::Server own_;
  std::unique_ptr<lookuptest::Table> table_;
};

TEST_F(LookupFaults, EveryThreadFindsTheRowAndEndedThreadsReleaseTheirConnections) {
  const uint32_t id = Registered("lk-threads", "NV2-F00001", {0x00A31001, 0x00A31002, 0x00A31003});

  // Several new threads at once, each with its own connection.
  std::vector<std::future<uint32_t>> calls;
  for (int t = 0; t < 4; ++t)
    calls.push_back(std::async(std::launch::async, [id] { return Look(id).code; }));
  for (size_t t = 0; t < calls.size(); ++t)
    EXPECT_EQ(calls[t].get(), NVD_DB_OK) << "thread " << t;

  // Many short-lived threads: the connections of ended ones are given back.
  for (int round = 0; round < 2; ++round) {
    for (int t = 0; t < 40; ++t) {
      uint32_t code = 0xFFFFFFFF;
      std::thread([&] { code = Look(id).code; }).join();
      ASSERT_EQ(code, NVD_DB_OK) << "round " << round << " thread " << t;
    }
    // The last thread's connection, perhaps the main thread's, and a margin
    // for one that is just closing.
    EXPECT_LE(LibraryConnections(), 3) << "round " << round;
  }
  EXPECT_EQ(Look(id).code, NVD_DB_OK);  // and the main thread's still works
}

TEST_F(LookupFaults, MissingTableOrColumnIsNoConnectionUntilRestored) {
  const uint32_t id = Registered("lk-broken", "NV2-F00002", {0x00A32001, 0x00A32002, 0x00A32003});
  ASSERT_EQ(Look(id).code, NVD_DB_OK);
  Client admin(own_, own_.name);

  ASSERT_TRUE(admin.Exec("rename table Norvane to NorvaneAway"));
  Answer answer = Look(id);
  EXPECT_EQ(answer.code, NVD_DB_NO_CONNECTION);
  EXPECT_TRUE(answer.Untouched());
  ASSERT_TRUE(admin.Exec("rename table NorvaneAway to Norvane"));
  EXPECT_EQ(Look(id).code, NVD_DB_OK);

  ASSERT_TRUE(admin.Exec("alter table Norvane change HWIdHigh HWIdHighAway int not null"));
  answer = Look(id);
  EXPECT_EQ(answer.code, NVD_DB_NO_CONNECTION);
  EXPECT_TRUE(answer.Untouched());
  ASSERT_TRUE(admin.Exec("alter table Norvane change HWIdHighAway HWIdHigh int not null"));
  EXPECT_EQ(Look(id).code, NVD_DB_OK);
}

TEST_F(LookupFaults, StoredSerialWithANulByteIsAnotherSerial) {
  const Words words = {0x00A33001, 0x00A33002, 0x00A33003};
  const uint32_t id = Registered("lk-nul", "NUL", words);
  ASSERT_EQ(Look(id).code, NVD_DB_OK);
  for (const std::string& stored : {std::string("NUL\0TAIL", 8), std::string("NUL\0", 4)}) {
    Row row;
    row.hardwareId = words;
    row.serial = stored;
    ASSERT_TRUE(table_->Put(row));
    const Answer answer = Look(id);
    EXPECT_EQ(answer.code, NVD_DB_SERIAL_MISMATCH) << stored.size() << " bytes stored";
    EXPECT_TRUE(answer.Untouched());
  }
}

TEST_F(LookupFaults, ServerThatStopsAnsweringHoldsUpNoOtherExport) {
  const uint32_t id = Registered("lk-stall", "NV2-F00004", {0x00A34001, 0x00A34002, 0x00A34003});
  ASSERT_EQ(Look(id).code, NVD_DB_OK);  // this thread is connected

  // The test's own lock on the table: the lookup's select waits for it and
  // the server sends nothing meanwhile.
  Client locker(own_, own_.name);
  ASSERT_TRUE(locker.Exec("lock tables Norvane write"));
  std::atomic<bool> lookupDone{false};
  struct Seen {
    bool statementWaiting = false;
    bool identityAnswered = false;
    Clock::duration identityTime{};
    bool lookupStillWaiting = false;
  };
  // Another host thread: the identity exports and the listing while the
  // lookup waits; it lifts the lock when the lookup does not give up.
  std::future<Seen> observer = std::async(std::launch::async, [&] {
    Seen seen;
    Client watcher(base_, base_.name);
    for (int poll = 0; poll < 200 && !seen.statementWaiting; ++poll) {
      seen.statementWaiting =
          watcher.Number("select count(*) from information_schema.processlist where db='" +
                         own_.name + "' and state like '%metadata lock%'") > 0;
      if (!seen.statementWaiting) std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    auto identity = std::async(std::launch::async, [id] {
      char serial[32] = {};
      uint8_t hardwareId[12] = {};
      const auto before = Clock::now();
      const bool answered = Library().getDeviceSerial(id, serial) == 11 &&
                            Library().getDeviceMCUId(id, hardwareId) == 12 &&
                            Library().getDeviceList(nullptr) == 1;
      return std::make_pair(answered, Clock::now() - before);
    });
    if (identity.wait_for(kPromptBound) == std::future_status::ready) {
      const auto [answered, time] = identity.get();
      seen.identityAnswered = answered;
      seen.identityTime = time;
    }
    seen.lookupStillWaiting = !lookupDone;
    const auto deadline = Clock::now() + kReplyBound;
    while (!lookupDone && Clock::now() < deadline)
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    if (!lookupDone) locker.Close();  // no time-out: let the lookup end
    return seen;
  });

  const auto started = Clock::now();
  const uint32_t code = Look(id).code;
  const auto waited = Clock::now() - started;
  lookupDone = true;
  const Seen seen = observer.get();
  EXPECT_TRUE(seen.statementWaiting) << "the lookup's statement never reached the server";
  EXPECT_TRUE(seen.identityAnswered) << "the identity exports waited for the server";
  EXPECT_LT(seen.identityTime, kPromptBound);
  EXPECT_TRUE(seen.lookupStillWaiting);
  // The lookup gives up after the reply time-out, not never.
  EXPECT_EQ(code, NVD_DB_NO_CONNECTION);
  EXPECT_LT(waited, kReplyBound) << "no reply time-out";

  // The server answers again: the next lookup reconnects.
  locker.Close();
  EXPECT_EQ(Look(id).code, NVD_DB_OK);
}

}  // namespace
}  // namespace e2e
