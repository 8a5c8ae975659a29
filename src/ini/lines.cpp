#include "ini/lines.h"

#include <cstring>

void LineList::Grow(size_t needed) {
  if (capacity_ - used_ >= needed) return;
  size_t capacity = capacity_ < 4096 ? 4096 : capacity_;
  while (capacity - used_ < needed)
    capacity *= 2;
  std::unique_ptr<char[]> text = std::make_unique_for_overwrite<char[]>(capacity);
  if (used_ > 0) std::memcpy(text.get(), text_.get(), used_);
  text_ = std::move(text);
  capacity_ = capacity;
}

void LineList::ReserveBytes(size_t bytes) {
  Grow(bytes);
}

void LineList::Add(const char* text, size_t length) {
  Grow(length + 1);
  if (length > 0) std::memcpy(text_.get() + used_, text, length);
  text_[used_ + length] = 0;
  starts_.push_back(used_);
  used_ += length + 1;
}

char* LineList::Reserve(size_t size) {
  Grow(size + 1);
  return text_.get() + used_;
}

void LineList::Commit(size_t length) {
  text_[used_ + length] = 0;
  starts_.push_back(used_);
  used_ += length + 1;
}

void LineList::TruncateLast(size_t length) {
  if (starts_.empty()) return;
  const size_t start = starts_.back();
  if (length >= used_ - start - 1) return;
  text_[start + length] = 0;
  used_ = start + length + 1;
}

void LineList::Clear() {
  text_.reset();
  used_ = 0;
  capacity_ = 0;
  starts_.clear();
  starts_.shrink_to_fit();
}

std::unique_ptr<char[]> LineList::ReleaseText() {
  std::unique_ptr<char[]> text = std::move(text_);
  used_ = 0;
  capacity_ = 0;
  starts_.clear();
  starts_.shrink_to_fit();
  return text;
}
