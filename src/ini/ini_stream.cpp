#include "ini/ini_stream.h"

#include <algorithm>
#include <cstring>
#include <string>

#include "base/files.h"
#include "base/messages.h"
#include "ini/lines.h"
#include "ini/preprocessor.h"
#include "ini/streams.h"
#include "platform/errors.h"
#include "platform/files.h"
#include "platform/system.h"

namespace {

constexpr char kHardBreak = 0x1F;

uint32_t EffectiveFlags(uint32_t flags) {
  return (flags & INIStreamStub::kNoJoinNoEscapes) ? flags | INIStreamStub::kPreprocess : flags;
}

}  // namespace

INIStream::INIStream(const char* name, uint32_t flags)
    : INIStreamStub(EffectiveFlags(flags), 0, nullptr, false, nullptr) {
  try {
    if (name == nullptr) name = "";
    if (name[0] == '>') {
      if (flags & kLookUp) {
        LoadInlineText(name + 1);
        return;
      }
      Message("sf", "INIStream::INIStream(): Invalid flags");
      // Whatever was meant, this is no file to rewrite.
      writeBackDisabled_ = true;
    }
    LoadFile(name);
  } catch (...) {
    incomplete_ = true;
  }
}

INIStream::INIStream(Unloaded, const char* name, uint32_t flags)
    : INIStreamStub(EffectiveFlags(flags), 0, name, false, nullptr) {}

INIStream::INIStream(Nested, const INIStreamStub& parent)
    : INIStreamStub(parent.Flags(), parent.Level() + 1, parent.FileName(), parent.IsLoaded(),
                    const_cast<INIStreamStub*>(&parent)),
      writeBackDisabled_(true) {}

INIStream::~INIStream() {
  try {
    if (WillWriteBack()) WriteBack();
  } catch (...) {
  }
}

std::unique_ptr<INIStreamStub> INIStream::CreateNested() {
  return std::make_unique<INIStream>(Nested{}, *this);
}

size_t INIStream::LineBufferFor(uint64_t length) {
  return static_cast<size_t>(std::clamp<uint64_t>(length, kMinLineBuffer, kMaxLineBuffer));
}

bool INIStream::WillWriteBack() const {
  return level_ == 0 && !(flags_ & kLookUp) && !fileName_.empty() && fileName_[0] != '<' &&
         !incomplete_ && !writeBackDisabled_;
}

void INIStream::LoadInlineText(const char* text) {
  // The text is read as plain INI text, written out by the writing rules and
  // read back from there by this stream, with flags 0 and no file name.
  DynArray<unsigned char> data;
  MemoryInOut written(&data, 16384);
  {
    INIStreamInMem temporary(text);
    temporary.WriteTable(written, 0);
  }
  const uint64_t length = written.Position();
  written.Close();
  flags_ = 0;
  fileName_.clear();
  Load(written, LineBufferFor(length), length);
}

void INIStream::LoadFile(const char* name) {
  std::string path = name;
  if (flags_ & kModuleRelative) {
    const PStr folder = PFilePath(platform::LibraryModulePath().c_str()).Directory();
    path = PFilePath().Join(folder.c_str(), name).Path();
  }
  fileName_ = path;
  if (path[0] == '<') return;
  if ((flags_ & kDeleteFirst) && !(flags_ & kLookUp)) platform::RemoveFile(path.c_str());

  FastFileIn image(path.c_str());
  if (image.OpenFailed()) {
    // A missing file gives an empty stream that may create it; any other
    // failure leaves a file that must not be overwritten.
    const uint32_t error = image.OpenError();
    if (error != platform::kErrorFileNotFound && error != platform::kErrorPathNotFound) {
      incomplete_ = true;
    }
    return;
  }
  const size_t lineSize = LineBufferFor(image.FileSize() + 1);
  if (image.IsWholeFileRead()) {
    loaded_ = true;
    readFromImage_ = true;
    Load(image, lineSize, image.FileSize());
    return;
  }
  FileInOut text(path.c_str(), "rt", true);
  if (!text.IsOpen()) {
    incomplete_ = true;
    return;
  }
  loaded_ = true;
  Load(text, lineSize, 0);
}

void INIStream::Load(FInOut& source, size_t lineSize, uint64_t sizeHint) {
  const bool preprocess = (flags_ & kPreprocess) != 0;
  const bool plain = (flags_ & kPlain) && !preprocess;
  LineList raw, processed;
  // Plain text goes straight to the section parser.
  LineList& target = plain ? processed : raw;
  if (sizeHint > 0 && sizeHint < (uint64_t(1) << 40)) {
    target.ReserveBytes(static_cast<size_t>(sizeHint) + lineSize + 2);
  }
  for (;;) {
    char* line = target.Reserve(lineSize);
    if (!source.ReadLine(line, lineSize)) break;
    Trim(line);
    if (line[0] == ';') continue;
    if (line[0] == '#' && (flags_ & kHashComments)) continue;
    const size_t length = std::strlen(line);
    if (plain && length == 0) continue;
    target.Commit(length);
  }
  source.Close();
  // A line that came in pieces would be written back as several lines.
  if (source.HadLongLine()) incomplete_ = true;

  std::unique_ptr<FileInOut> listing;
  {
    // The preprocessor's state (macros, conditions) ends with this block.
    Preprocessor preprocessor(flags_, fileName_.c_str());
    if (preprocess && !(flags_ & kNoJoinNoEscapes)) preprocessor.JoinLines(raw);
    if (flags_ & kListings) WriteSourceListing(raw);
    if (preprocess) preprocessor.DefinePredefined();
    if (!plain) preprocessor.Run(raw, processed);
    if (flags_ & kListings) {
      listing = OpenListing("pp");
      if (listing != nullptr) {
        listing->Printf("; -------- Predefined macros --------\n");
        preprocessor.WritePredefined(*listing);
      }
    }
  }
  raw.Clear();
  if (!ParseLines(processed)) incomplete_ = true;
  if (preprocess) Preprocessor::ExpandValues(*this, flags_, fileName_.c_str(), listing.get());
  if (listing != nullptr) listing->Close();
  if ((flags_ & kLastDuplicateWins) && (flags_ & kLookUp)) ResolveDuplicateKeys();
}

std::unique_ptr<FileInOut> INIStream::OpenListing(const char* extension) const {
  if (fileName_.empty() || fileName_[0] == '<') return nullptr;
  PFilePath path(fileName_.c_str());
  path.SetExtension(extension);
  auto listing = std::make_unique<FileInOut>(path.Path(), "wt", true);
  if (!listing->IsOpen()) return nullptr;
  return listing;
}

void INIStream::WriteSourceListing(const LineList& raw) const {
  std::unique_ptr<FileInOut> listing = OpenListing("pp1");
  if (listing == nullptr) return;
  listing->Printf(
      ";;; Source configuration file with line continuation characters removed and lines "
      "merged.\n\n");
  for (size_t i = 0; i < raw.Count(); ++i) {
    const std::string_view line(raw.Line(i), raw.Length(i));
    size_t from = 0;
    for (;;) {
      const size_t at = line.find(kHardBreak, from);
      const bool last = at == std::string_view::npos;
      const std::string_view piece = line.substr(from, last ? std::string_view::npos : at - from);
      if (!piece.empty()) {
        listing->Printf("%.*s%s\n", static_cast<int>(piece.size()), piece.data(),
                        last ? "" : "\\\\");
      }
      if (last) break;
      from = at + 1;
    }
  }
  listing->Close();
}

void INIStream::WriteBack() {
  // The table goes to a new file beside the target, which then replaces the
  // target: a failure on the way leaves the old file as it was.
  const PStr folder = PFilePath(fileName_.c_str()).Directory();
  const std::string temporary =
      platform::CreateTempFile(folder.IsEmpty() ? "." : folder.c_str(), "ini");
  if (temporary.empty()) return;
  bool written = false;
  {
    FileInOut out(temporary.c_str(), "wt", true);
    if (out.IsOpen()) {
      written = WriteTable(out, 0);
      written = out.Close() == 0 && written && !out.HasError();
    }
  }
  if (!written || !MoveFile(temporary.c_str(), fileName_.c_str(), true)) {
    platform::RemoveFile(temporary.c_str());
  }
}

// ---------------------------------------------------------------------------
// INIStreamInMem

INIStreamInMem::INIStreamInMem(const char* text)
    : INIStreamInMem(text, text != nullptr ? std::strlen(text) : 0, kPlain) {}

INIStreamInMem::INIStreamInMem(const char* text, size_t length, uint32_t flags)
    : INIStream(Unloaded{}, kInMemoryName, flags) {
  try {
    // A copy of the text with its terminating zero, read through a memory
    // stream.
    DynArray<unsigned char> copy(length + 1);
    if (copy.Data() == nullptr) return;
    if (length > 0 && text != nullptr) std::memcpy(copy.Data(), text, length);
    MemoryInOut input(&copy, 256);
    Load(input, LineBufferFor(length), length);
  } catch (...) {
  }
}
