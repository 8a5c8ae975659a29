// Shared pieces of the database tests: captured error output and log lines,
// OLE dates, and the private test server's connection.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

class MySQLDataBase;

// Every text shown through the capturing output hook since the last Clear.
std::vector<std::string>& CapturedMessages();
void ClearCapturedMessages();
// An output hook that records the calling thread's message buffer.
void CaptureOutput();
// Installs CaptureOutput as the process-wide default error output for the
// lifetime of the object.
class CaptureDefaultErrors {
 public:
  CaptureDefaultErrors();
  ~CaptureDefaultErrors();

 private:
  void (*previous_)();
};

// Records the lines written to the log while it lives (from any thread).
class LogCapture {
 public:
  LogCapture();
  ~LogCapture();
  static std::vector<std::string> Lines();
  static bool Has(const std::string& line);
  static void Clear();

 private:
  void* previous_;
};

double OleDate(uint16_t y, uint16_t mo, uint16_t d, uint16_t h = 0, uint16_t mi = 0,
               uint16_t s = 0);

// The private MariaDB server of scripts/testdb, from NVD_TEST_DB_* variables.
struct TestServer {
  std::string host;
  uint32_t port = 0;
  std::string user;
  std::string password;
  std::string name;
  std::string script;  // scripts/testdb
};
// False when the variables are not set.
bool FindTestServer(TestServer& server);
// The connection that scripts/testdb wrote into folder/connection.env.
bool LoadTestServer(const std::string& folder, TestServer& server);
bool RunningUnderCI();
bool OpenOn(MySQLDataBase& db, const TestServer& server);

// In a test body: the server, or a skip (a failure under CI=true).
#define NVD_REQUIRE_TEST_SERVER(server)                                                \
  do {                                                                                 \
    if (!FindTestServer(server)) {                                                     \
      if (RunningUnderCI()) FAIL() << "no test database server (NVD_TEST_DB_* unset)"; \
      GTEST_SKIP() << "no test database server: run scripts/testdb start and export "  \
                      "the output of scripts/testdb env";                              \
    }                                                                                  \
  } while (0)
