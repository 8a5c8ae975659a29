#include "usb/source_names.h"

#include <deque>
#include <mutex>
#include <string>

#include "base/options.h"

namespace {

struct SourceNameList {
  std::mutex lock;
  std::deque<std::string> names;  // elements never move: names stay valid
};

// Never destroyed: diagnostics may ask for it while static destruction runs.
SourceNameList& Names() {
  static Immortal<SourceNameList> list;
  return list.Get();
}

}  // namespace

void AddSourceName(const char* name) {
  if (name == nullptr) return;
  SourceNameList& list = Names();
  std::lock_guard<std::mutex> guard(list.lock);
  list.names.emplace_back(name);
}

uint32_t SourceNameCount() {
  SourceNameList& list = Names();
  std::lock_guard<std::mutex> guard(list.lock);
  return static_cast<uint32_t>(list.names.size());
}

const char* SourceNameAt(uint32_t index) {
  SourceNameList& list = Names();
  std::lock_guard<std::mutex> guard(list.lock);
  return index < list.names.size() ? list.names[index].c_str() : nullptr;
}
