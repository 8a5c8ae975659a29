// An ordered list of text lines held in one growing block: every line is
// stored zero-terminated right after the previous one, so a line costs its
// bytes plus one and no allocation of its own. The INI loader keeps its raw
// and processed lines here, and the items it parses point into the block.
#pragma once

#include <cstddef>
#include <memory>
#include <vector>

class LineList {
 public:
  LineList() = default;
  LineList(const LineList&) = delete;
  LineList& operator=(const LineList&) = delete;
  LineList(LineList&&) noexcept = default;
  LineList& operator=(LineList&&) noexcept = default;

  size_t Count() const { return starts_.size(); }
  bool IsEmpty() const { return starts_.empty(); }
  char* Line(size_t index) const { return text_.get() + starts_[index]; }
  size_t Length(size_t index) const {
    const size_t next = index + 1 < starts_.size() ? starts_[index + 1] : used_;
    return next - starts_[index] - 1;
  }

  // Appends a copy of `length` bytes as a line.
  void Add(const char* text, size_t length);
  // Room for a line of up to size - 1 characters at the end; write it there,
  // then Commit() its length to keep it (or do nothing to drop it).
  char* Reserve(size_t size);
  void Commit(size_t length);
  // Shortens the last line to `length` characters.
  void TruncateLast(size_t length);
  // Makes room for `bytes` more bytes of text.
  void ReserveBytes(size_t bytes);
  void ReserveLines(size_t lines) { starts_.reserve(lines); }
  void Clear();
  // Gives up the text block (the list is empty afterwards), for keeping text
  // that parsed items point into.
  std::unique_ptr<char[]> ReleaseText();

 private:
  void Grow(size_t needed);

  std::unique_ptr<char[]> text_;
  size_t used_ = 0;
  size_t capacity_ = 0;
  std::vector<size_t> starts_;
};
