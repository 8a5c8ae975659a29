#include "lookup_database.h"

#include <mysql.h>

#include <cstdio>
#include <cstdlib>

#include "platform/system.h"

namespace lookuptest {

namespace {

std::string Env(const char* name) {
  const char* value = std::getenv(name);
  return value != nullptr ? value : "";
}

// A short-lived client connection: opened for one statement, closed after.
class Connection {
 public:
  explicit Connection(const Server& server) : handle_(mysql_init(nullptr)) {
    if (handle_ == nullptr) return;
    if (mysql_real_connect(handle_, server.host.c_str(), server.user.c_str(),
                           server.password.c_str(), server.name.c_str(), server.port, nullptr,
                           0) == nullptr) {
      error_ = mysql_error(handle_);
      mysql_close(handle_);
      handle_ = nullptr;
    }
  }
  ~Connection() {
    if (handle_ != nullptr) mysql_close(handle_);
  }
  Connection(const Connection&) = delete;
  Connection& operator=(const Connection&) = delete;

  MYSQL* Handle() const { return handle_; }
  const std::string& Error() const { return error_; }

 private:
  MYSQL* handle_;
  std::string error_ = "mysql_init failed";
};

}  // namespace

bool FindServer(Server& server) {
  server.host = Env("NVD_TEST_DB_HOST");
  server.port = static_cast<uint32_t>(std::atoi(Env("NVD_TEST_DB_PORT").c_str()));
  server.user = Env("NVD_TEST_DB_USER");
  server.password = Env("NVD_TEST_DB_PASSWORD");
  server.name = Env("NVD_TEST_DB_NAME");
  return !server.host.empty() && server.port != 0 && !server.user.empty() && !server.name.empty();
}

bool RunningUnderCI() {
  return Env("CI") == "true";
}

std::string DatabaseUrl(const Server& server) {
  return "https://" + server.user + ":" + server.password + "@" + server.host + ":" +
         std::to_string(server.port);
}

void UseServer(const Server& server) {
  platform::SetEnvironment("NVDEVICES_DATABASE_URL", DatabaseUrl(server).c_str());
  platform::SetEnvironment("NVDEVICES_DATABASE_SCHEMA", server.name.c_str());
}

Table::~Table() {
  for (const Words& words : put_)
    Remove(words);
}

bool Table::Exec(const std::string& sql) {
  Connection connection(server_);
  if (connection.Handle() == nullptr) {
    ADD_FAILURE() << "cannot connect to the test server: " << connection.Error();
    return false;
  }
  if (mysql_real_query(connection.Handle(), sql.data(), sql.size()) != 0) {
    ADD_FAILURE() << "statement failed: " << mysql_error(connection.Handle()) << "\n"
                  << sql.substr(0, 200);
    return false;
  }
  return true;
}

std::string Table::Condition(const Words& words) {
  char text[96];
  std::snprintf(text, sizeof(text), "HWIdLow=%d and HWIdMid=%d and HWIdHigh=%d",
                static_cast<int32_t>(words[0]), static_cast<int32_t>(words[1]),
                static_cast<int32_t>(words[2]));
  return text;
}

std::string Table::Quoted(const std::optional<std::string>& text) const {
  if (!text) return "NULL";
  std::string escaped(text->size() * 2 + 1, '\0');
  const unsigned long length =
      mysql_escape_string(escaped.data(), text->data(), static_cast<unsigned long>(text->size()));
  escaped.resize(length);
  return "'" + escaped + "'";
}

std::string Table::Hex(const std::optional<Bytes>& data) {
  if (!data) return "NULL";
  if (data->empty()) return "''";
  std::string text = "X'";
  char pair[3];
  for (uint8_t byte : *data) {
    std::snprintf(pair, sizeof(pair), "%02X", byte);
    text += pair;
  }
  return text + "'";
}

bool Table::Put(const Row& row) {
  if (!Remove(row.hardwareId)) return false;
  put_.push_back(row.hardwareId);
  const std::string sql =
      "insert into Norvane (HWIdLow, HWIdMid, HWIdHigh, SerialNumber, HomeProgrammingDate, "
      "CalibrationDate, TestResults, CalibrationData) values (" +
      std::to_string(static_cast<int32_t>(row.hardwareId[0])) + ", " +
      std::to_string(static_cast<int32_t>(row.hardwareId[1])) + ", " +
      std::to_string(static_cast<int32_t>(row.hardwareId[2])) + ", " + Quoted(row.serial) + ", " +
      Quoted(row.programmed) + ", " + Quoted(row.calibrated) + ", " + Quoted(row.testResults) +
      ", " + Hex(row.calibration) + ")";
  return Exec(sql);
}

bool Table::SetTestResults(const Words& hardwareId, const std::optional<std::string>& text) {
  return Exec("update Norvane set TestResults=" + Quoted(text) + " where " + Condition(hardwareId));
}

bool Table::SetCalibration(const Words& hardwareId, const std::optional<Bytes>& data) {
  return Exec("update Norvane set CalibrationData=" + Hex(data) + " where " +
              Condition(hardwareId));
}

bool Table::Remove(const Words& hardwareId) {
  return Exec("delete from Norvane where " + Condition(hardwareId));
}

uint32_t UnixSeconds(int year, int month, int day, int hour, int minute, int second) {
  // Days since 1970-01-01 in the proleptic Gregorian calendar.
  const int y = year - (month <= 2 ? 1 : 0);
  const int era = (y >= 0 ? y : y - 399) / 400;
  const int yearOfEra = y - era * 400;
  const int dayOfYear = (153 * (month + (month > 2 ? -3 : 9)) + 2) / 5 + day - 1;
  const int dayOfEra = yearOfEra * 365 + yearOfEra / 4 - yearOfEra / 100 + dayOfYear;
  const int64_t days = static_cast<int64_t>(era) * 146097 + dayOfEra - 719468;
  return static_cast<uint32_t>(days * 86400 + hour * 3600 + minute * 60 + second);
}

}  // namespace lookuptest
