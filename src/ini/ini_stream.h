// INIStream: INI-style configuration text read from a file, from memory or
// from text given in place of a file name, optionally preprocessed, parsed
// into sections and items (see sections.h), and - unless it is in look-up
// mode - written back to its file when destroyed.
//
// Nothing here throws or stops a load: every problem is reported through the
// message routine and the load goes on with what was read.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

#include "ini/sections.h"

class FInOut;
class FileInOut;

class INIStream : public INIStreamStub {
  struct Nested {};

 public:
  // The name of streams whose text is held in memory.
  static constexpr const char* kInMemoryName = "<In Memory>";
  // Line buffer bounds for a text of a given length.
  static constexpr size_t kMinLineBuffer = 260;
  static constexpr size_t kMaxLineBuffer = 65536;

  // Loads the file `name` (or, with kLookUp, the text after a leading ">").
  INIStream(const char* name, uint32_t flags);
  // Writes the table back to the file unless the stream is in look-up mode,
  // its name starts with "<", or the file could not be read completely.
  ~INIStream() override;

  // The text came from a whole-file image (not line by line through the
  // text-file layer).
  bool ReadFromImage() const { return readFromImage_; }
  // Whether destruction will write the table back.
  bool WillWriteBack() const;

  // A table for the subsections of a section of `parent` (made by the
  // parser only: the tag is private).
  INIStream(Nested, const INIStreamStub& parent);

 protected:
  struct Unloaded {};
  // A stream of that name and flags that has not loaded anything yet.
  INIStream(Unloaded, const char* name, uint32_t flags);
  // The loading pipeline over one line source; `sizeHint` is the length of
  // the text when known (0 otherwise).
  void Load(FInOut& source, size_t lineSize, uint64_t sizeHint);
  static size_t LineBufferFor(uint64_t length);

  std::unique_ptr<INIStreamStub> CreateNested() override;

 private:
  void LoadFile(const char* name);
  void LoadInlineText(const char* text);
  void WriteSourceListing(const LineList& raw) const;
  std::unique_ptr<FileInOut> OpenListing(const char* extension) const;
  void WriteBack();

  bool readFromImage_ = false;
  // The table no longer stands for the whole file (it could not be read, a
  // line came in pieces, or parsing stopped early): writing it back would
  // lose text.
  bool incomplete_ = false;
  bool writeBackDisabled_ = false;
};

// A stream over a copy of text held in memory, named "<In Memory>". It is
// never written back.
class INIStreamInMem : public INIStream {
 public:
  explicit INIStreamInMem(const char* text);
  // `length` bytes of text (a zero among them ends it), with any flags.
  INIStreamInMem(const char* text, size_t length, uint32_t flags = kPlain);
};
