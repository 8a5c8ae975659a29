// A server that restarts between two statements: the next statement
// reconnects and succeeds. The test runs its own server instance (through
// scripts/testdb with a folder of its own), so the restart does not disturb
// other tests using the shared one.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "db/mysql/mysql_database.h"
#include "db/support/db_test_support.h"
#include "platform/system.h"
#include "platform/thread.h"

namespace {

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
  const std::string& Folder() const { return folder_; }

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
  ASSERT_TRUE(LoadTestServer(server.Folder(), own));

  MySQLDataBase db(own.name.c_str(), 0);
  ASSERT_TRUE(OpenOn(db, own));
  MySQLInterface* backEnd = db.ThreadInterface();
  EXPECT_EQ(backEnd->QueryInteger(nullptr, "select 1"), 1);

  ASSERT_TRUE(server.Run("restart"));
  {
    LogCapture log;
    EXPECT_EQ(backEnd->QueryInteger(nullptr, "select 2"), 2) << backEnd->ErrorText();
    EXPECT_TRUE(LogCapture::Has("mysql_ping: Connection lost, reconnecting\n"));
  }
  // The database's handle follows the new connection, so closing still works.
  EXPECT_EQ(db.Connection(), backEnd->ConnectionHandle());
  db.CloseDatabase();
  EXPECT_FALSE(db.IsOpen());

  // A server that is down: the statement fails with the connection text, and
  // a record set opened now quotes the reason after its own text.
  ASSERT_TRUE(OpenOn(db, own));
  ASSERT_TRUE(server.Run("stop"));
  EXPECT_EQ(backEnd->QueryInteger(nullptr, "select 3"), 0);
  EXPECT_EQ(std::string(backEnd->ErrorText()).find("MySQL connection failed: Can't connect"), 0u)
      << backEnd->ErrorText();
  ClearCapturedMessages();
  db.ErrorOutput = CaptureOutput;
  PRecordSet set(&db, "", 0, "select 1", 0);
  ASSERT_EQ(CapturedMessages().size(), 1u);
  EXPECT_NE(CapturedMessages()[0].find("Cannot create recordset: query: Can't connect"),
            std::string::npos)
      << CapturedMessages()[0];
}
