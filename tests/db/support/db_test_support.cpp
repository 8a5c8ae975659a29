#include "db/support/db_test_support.h"

#include <cstdlib>
#include <mutex>

#include "db/database.h"

namespace {
std::mutex g_capturedLock;
}

std::vector<std::string>& CapturedMessages() {
  static std::vector<std::string> messages;
  return messages;
}

void ClearCapturedMessages() {
  std::lock_guard<std::mutex> lock(g_capturedLock);
  CapturedMessages().clear();
}

void CaptureOutput() {
  std::lock_guard<std::mutex> lock(g_capturedLock);
  CapturedMessages().emplace_back(DbMessageBuffer());
}

CaptureDefaultErrors::CaptureDefaultErrors() : previous_(SetDefaultDbErrorOutput(CaptureOutput)) {
  ClearCapturedMessages();
}

CaptureDefaultErrors::~CaptureDefaultErrors() {
  SetDefaultDbErrorOutput(previous_);
}

namespace {
std::string Env(const char* name) {
  const char* value = std::getenv(name);
  return value != nullptr ? value : "";
}
}  // namespace

bool FindTestServer(TestServer& server) {
  server.host = Env("NVD_TEST_DB_HOST");
  server.port = static_cast<uint32_t>(std::atoi(Env("NVD_TEST_DB_PORT").c_str()));
  server.user = Env("NVD_TEST_DB_USER");
  server.password = Env("NVD_TEST_DB_PASSWORD");
  server.name = Env("NVD_TEST_DB_NAME");
  server.script = Env("NVD_TEST_DB_SCRIPT");
  return !server.host.empty() && server.port != 0 && !server.user.empty() && !server.name.empty();
}

bool RunningUnderCI() {
  return Env("CI") == "true";
}
