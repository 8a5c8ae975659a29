#include "db/support/db_test_support.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <mutex>

#include "base/datetime.h"
#include "base/log.h"
#include "db/database.h"
#include "db/mysql/mysql_database.h"

namespace {
std::mutex g_capturedLock;
std::vector<std::string> g_logLines;

std::string Env(const char* name) {
  const char* value = std::getenv(name);
  return value != nullptr ? value : "";
}
}  // namespace

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

LogCapture::LogCapture() {
  Clear();
  previous_ = reinterpret_cast<void*>(SetPrintHook([](const char* format, va_list args) {
    char buffer[8192];
    std::vsnprintf(buffer, sizeof buffer, format, args);
    std::lock_guard<std::mutex> lock(g_capturedLock);
    g_logLines.emplace_back(buffer);
  }));
}

LogCapture::~LogCapture() {
  SetPrintHook(reinterpret_cast<PrintHookFn>(previous_));
}

std::vector<std::string> LogCapture::Lines() {
  std::lock_guard<std::mutex> lock(g_capturedLock);
  return g_logLines;
}

bool LogCapture::Has(const std::string& line) {
  for (const std::string& logged : Lines())
    if (logged == line) return true;
  return false;
}

void LogCapture::Clear() {
  std::lock_guard<std::mutex> lock(g_capturedLock);
  g_logLines.clear();
}

double OleDate(uint16_t y, uint16_t mo, uint16_t d, uint16_t h, uint16_t mi, uint16_t s) {
  double value = 0;
  SystemTimeToOleDate({y, mo, 0, d, h, mi, s, 0}, value);
  return value;
}

bool FindTestServer(TestServer& server) {
  server.host = Env("NVD_TEST_DB_HOST");
  server.port = static_cast<uint32_t>(std::atoi(Env("NVD_TEST_DB_PORT").c_str()));
  server.user = Env("NVD_TEST_DB_USER");
  server.password = Env("NVD_TEST_DB_PASSWORD");
  server.name = Env("NVD_TEST_DB_NAME");
  server.script = Env("NVD_TEST_DB_SCRIPT");
  return !server.host.empty() && server.port != 0 && !server.user.empty() && !server.name.empty();
}

bool LoadTestServer(const std::string& folder, TestServer& server) {
  std::ifstream in(folder + "/connection.env");
  std::string line;
  while (std::getline(in, line)) {
    const size_t eq = line.find('=');
    if (line.rfind("export ", 0) != 0 || eq == std::string::npos) continue;
    const std::string key = line.substr(7, eq - 7), value = line.substr(eq + 1);
    if (key == "NVD_TEST_DB_HOST") server.host = value;
    if (key == "NVD_TEST_DB_PORT") server.port = static_cast<uint32_t>(std::stoul(value));
    if (key == "NVD_TEST_DB_USER") server.user = value;
    if (key == "NVD_TEST_DB_PASSWORD") server.password = value;
    if (key == "NVD_TEST_DB_NAME") server.name = value;
  }
  return server.port != 0;
}

bool RunningUnderCI() {
  return Env("CI") == "true";
}

bool OpenOn(MySQLDataBase& db, const TestServer& server) {
  return db.OpenServer(server.host.c_str(), server.user.c_str(), server.password.c_str(),
                       server.name.c_str(), server.port);
}
