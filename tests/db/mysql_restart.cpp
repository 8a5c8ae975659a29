// A server that restarts between two statements: the next statement
// reconnects and succeeds. The test runs its own server instance (through
// scripts/testdb with a folder of its own), so the restart does not disturb
// other tests using the shared one.
#include <gtest/gtest.h>

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

#include "base/log.h"
#include "db/mysql/mysql_database.h"
#include "db/support/db_test_support.h"
#include "platform/system.h"
#include "platform/thread.h"

namespace {

std::vector<std::string> g_log;

void CaptureLog(const char* format, va_list args) {
  char buffer[4096];
  std::vsnprintf(buffer, sizeof buffer, format, args);
  g_log.emplace_back(buffer);
}

class PrivateServer {
 public:
  explicit PrivateServer(const std::string& script) : script_(script) {
    folder_ = platform::GetEnvironment("TMPDIR");
    if (folder_.empty()) folder_ = "/tmp";
    folder_ += "/nvd-restart-test-" + std::to_string(platform::CurrentProcessId());
  }
  ~PrivateServer() { Run("clean"); }
  bool Run(const char* command) const {
    const std::string line = "NVD_TEST_DB_DIR='" + folder_ + "' '" + script_ + "' " + command;
    return std::system(line.c_str()) == 0;
  }
  // Reads the connection the script wrote.
  bool Load(TestServer& server) const {
    std::ifstream in(folder_ + "/connection.env");
    std::string line;
    while (std::getline(in, line)) {
      const size_t eq = line.find('=');
      if (eq == std::string::npos) continue;
      const std::string key = line.substr(7, eq - 7), value = line.substr(eq + 1);
      if (key == "NVD_TEST_DB_HOST") server.host = value;
      if (key == "NVD_TEST_DB_PORT") server.port = static_cast<uint32_t>(std::stoul(value));
      if (key == "NVD_TEST_DB_USER") server.user = value;
      if (key == "NVD_TEST_DB_PASSWORD") server.password = value;
      if (key == "NVD_TEST_DB_NAME") server.name = value;
    }
    return server.port != 0;
  }

 private:
  std::string script_;
  std::string folder_;
};

}  // namespace

TEST(MySQLRestart, NextStatementReconnects) {
  TestServer shared;
  NVD_REQUIRE_TEST_SERVER(shared);
  if (shared.script.empty()) GTEST_SKIP() << "NVD_TEST_DB_SCRIPT is not set";
  PrivateServer server(shared.script);
  ASSERT_TRUE(server.Run("start"));
  TestServer own;
  ASSERT_TRUE(server.Load(own));

  MySQLDataBase db(own.name.c_str(), 0);
  ASSERT_TRUE(db.OpenServer(own.host.c_str(), own.user.c_str(), own.password.c_str(),
                            own.name.c_str(), own.port));
  MySQLInterface* backEnd = db.ThreadInterface();
  EXPECT_EQ(backEnd->QueryInteger(nullptr, "select 1"), 1);
  void* before = db.Connection();

  ASSERT_TRUE(server.Run("restart"));
  PrintHookFn previous = SetPrintHook(CaptureLog);
  EXPECT_EQ(backEnd->QueryInteger(nullptr, "select 2"), 2) << backEnd->ErrorText();
  SetPrintHook(previous);
  bool reconnected = false;
  for (const auto& line : g_log)
    reconnected = reconnected || line == "mysql_ping: Connection lost, reconnecting\n";
  EXPECT_TRUE(reconnected);
  EXPECT_TRUE(db.IsOpen());
  // The database's handle follows the new connection, so closing still works.
  EXPECT_EQ(db.Connection(), backEnd->ConnectionHandle());
  (void)before;
  db.CloseDatabase();
  EXPECT_FALSE(db.IsOpen());

  // A server that is down: the statement fails with the connection text.
  ASSERT_TRUE(db.OpenServer(own.host.c_str(), own.user.c_str(), own.password.c_str(),
                            own.name.c_str(), own.port));
  ASSERT_TRUE(server.Run("stop"));
  EXPECT_EQ(backEnd->QueryInteger(nullptr, "select 3"), 0);
  EXPECT_EQ(std::string(backEnd->ErrorText()).find("MySQL connection failed: Can't connect"), 0u)
      << backEnd->ErrorText();
  // A record set opened now quotes the reason after its own text.
  ClearCapturedMessages();
  db.ErrorOutput = CaptureOutput;
  PRecordSet set(&db, "", 0, "select 1", 0);
  ASSERT_EQ(CapturedMessages().size(), 1u);
  EXPECT_NE(CapturedMessages()[0].find("Cannot create recordset: query: Can't connect"),
            std::string::npos)
      << CapturedMessages()[0];
}
