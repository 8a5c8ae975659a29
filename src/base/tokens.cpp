// The field splitter PTokens.
#include <cstdlib>
#include <cstring>

#include "base/containers.h"
#include "base/strings.h"

namespace {

// Removes every double quote from the field, in place.
void RemoveQuotes(char* field) {
  char* out = field;
  for (char* p = field; *p != 0; ++p) {
    if (*p != '"') *out++ = *p;
  }
  *out = 0;
}

// Length of a sequence of zero-terminated strings ended by an empty one,
// including the final zero.
size_t MultiStringLength(const char* text) {
  const char* p = text;
  while (*p != 0)
    p += std::strlen(p) + 1;
  return static_cast<size_t>(p - text) + 1;
}

}  // namespace

PTokens::PTokens(const char* text, const char* delimiters, uint32_t flags) {
  if (text == nullptr) return;
  const bool multi = (flags & kMultiString) != 0;
  size_t length = multi ? MultiStringLength(text) : std::strlen(text) + 1;
  char* buffer = inline_;
  if (length > sizeof(inline_)) {
    heap_ = static_cast<char*>(std::malloc(length));
    if (heap_ == nullptr) return;
    buffer = heap_;
  }
  std::memcpy(buffer, text, length);

  auto finish = [&](char* field, bool hadQuotes) {
    if (hadQuotes) RemoveQuotes(field);
    if (flags & kTrim) Trim(field);
    AddField(field);
  };

  if (multi) {
    for (char* p = buffer; *p != 0; p += std::strlen(p) + 1)
      finish(p, false);
    return;
  }

  if (delimiters == nullptr) delimiters = "";
  const bool quotes = (flags & kQuotes) != 0;
  const bool keepEmpty = (flags & kKeepEmpty) != 0;
  char* p = buffer;
  if (*p == 0) return;  // an empty text has no fields
  for (;;) {
    char* field = p;
    bool inQuotes = false;
    bool hadQuotes = false;
    while (*p != 0) {
      if (quotes && *p == '"') {
        inQuotes = !inQuotes;
        hadQuotes = true;
      } else if (!inQuotes && std::strchr(delimiters, *p) != nullptr) {
        break;
      }
      ++p;
    }
    const bool atDelimiter = *p != 0;
    if (atDelimiter) *p++ = 0;
    // Without kKeepEmpty an empty field is skipped, so runs of delimiters
    // count as one; with it "a," gives "a" and an empty last field.
    if (*field != 0 || keepEmpty) finish(field, hadQuotes);
    if (!atDelimiter) break;
    if (*p == 0) {
      if (keepEmpty) AddField(p);
      break;
    }
  }
}

PTokens::~PTokens() {
  delete overflow_;
  std::free(heap_);
}

void PTokens::AddField(char* field) {
  constexpr uint32_t kInlineFields = sizeof(fields_) / sizeof(fields_[0]);
  if (overflow_ == nullptr && count_ < kInlineFields) {
    fields_[count_++] = field;
    return;
  }
  if (overflow_ == nullptr) {
    // From the 65th field on every field lives in a container of Istr.
    overflow_ = new SContainer(128, 0);
    for (uint32_t i = 0; i < count_; ++i)
      overflow_->Add(new Istr(fields_[i]));
  }
  Istr* copy = new Istr(field);
  if (overflow_->Add(copy)) {
    ++count_;
  } else {
    delete copy;  // the container is full: the field is dropped
  }
}

const char* PTokens::Field(uint32_t index) const {
  if (index >= count_) return nullptr;
  if (overflow_ != nullptr) return static_cast<const Istr*>(overflow_->At(index))->Text();
  return fields_[index];
}
