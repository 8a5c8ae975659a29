// Shared pieces of the foundation tests: captured message boxes, a scratch
// folder, whole-file reads and writes.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

struct ShownBox {
  std::string text, caption;
  uint32_t style = 0;
};

// Records every message box shown while it lives, answering with `button`.
class BoxCapture {
 public:
  explicit BoxCapture(int button = 1);
  ~BoxCapture();
  static std::vector<ShownBox>& Shown();
  static int button;

 private:
  int (*previous_)(const char*, const char*, uint32_t);
};

// A fresh folder under the temporary folder, removed with everything in it.
class ScratchFolder {
 public:
  ScratchFolder();
  ~ScratchFolder();
  const std::string& Path() const { return path_; }
  std::string In(const std::string& name) const;

 private:
  std::string path_;
};

// Runs the library clock 100 times faster while it lives: 100 ms of library
// time pass in 1 ms.
class DilatedClock {
 public:
  DilatedClock();
  ~DilatedClock();

 private:
  double previous_;
};

// The status a death test sees when the process ended with exit code -1: a
// POSIX parent gets only the low 8 bits (255), a Windows parent the whole
// 32-bit code.
#ifdef _WIN32
inline constexpr int kExitStatusMinusOne = -1;
#else
inline constexpr int kExitStatusMinusOne = 255;
#endif

std::string ReadWholeFile(const std::string& path);  // "<missing>" when absent
void WriteWholeFile(const std::string& path, const std::string& text);
