// Paths and folders: PFilePath, the program folder, existence tests,
// directory trees, moving files and temporary files.

#include <cstring>
#include <string>
#include <vector>

#include "base/files.h"
#include "platform/errors.h"
#include "platform/files.h"
#include "platform/system.h"

namespace {

using platform::IsPathSeparator;

// Copies at most size - 1 characters and terminates.
void CopyBounded(char* to, const char* from, size_t size) {
  size_t n = from ? std::strlen(from) : 0;
  if (n > size - 1) n = size - 1;
  if (n) std::memcpy(to, from, n);
  to[n] = 0;
}

bool EndsWithSeparator(const std::string& text) {
  return !text.empty() && IsPathSeparator(text.back());
}

// "X:" or "X:\\" (or "X:/").
bool IsDriveRoot(const char* path) {
  if (!path || !path[0] || path[1] != ':') return false;
  return path[2] == 0 || (IsPathSeparator(path[2]) && path[3] == 0);
}

char LowerAscii(char c) {
  return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

}  // namespace

// ---------------------------------------------------------------------------
// PFilePath

PFilePath::PFilePath() {
  Split();
}

PFilePath::PFilePath(const char* path) {
  Set(path);
}

PFilePath::PFilePath(const PFilePath& other) {
  Set(other.path_);
}

PFilePath& PFilePath::operator=(const PFilePath& other) {
  if (this != &other) Set(other.path_);
  return *this;
}

PFilePath& PFilePath::operator=(const char* path) {
  Set(path);
  return *this;
}

PFilePath::~PFilePath() {
  if (!deleteOnDestroy_ || IsEmpty()) return;
  if (platform::IsDirectory(path_))
    DeleteTree(path_);
  else if (platform::PathExists(path_))
    platform::RemoveFile(path_);
}

void PFilePath::Set(const char* path) {
  // The text may be a part of this very path (Set(Dir())): copy it first.
  char copy[kMaxPath];
  CopyBounded(copy, path, sizeof copy);
  size_t n = std::strlen(copy);
  // One trailing separator goes; a path that is only a separator stays.
  if (n > 1 && IsPathSeparator(copy[n - 1])) copy[--n] = 0;
  std::memcpy(path_, copy, n + 1);
  Split();
}

size_t PFilePath::Length() const {
  return std::strlen(path_);
}

// Splits by the C runtime rules: "X:" drive, directory up to and including the
// last separator, extension from the last dot of the final component.
void PFilePath::Split() {
  const char* p = path_;
  char* out = parts_;
  // Drive.
  drive_ = out;
  if (p[0] && p[1] == ':') {
    *out++ = p[0];
    *out++ = ':';
    p += 2;
  }
  *out++ = 0;
  // Directory.
  const char* lastSeparator = nullptr;
  for (const char* q = p; *q; ++q)
    if (IsPathSeparator(*q)) lastSeparator = q;
  dir_ = out;
  if (lastSeparator) {
    const size_t n = static_cast<size_t>(lastSeparator - p) + 1;
    std::memcpy(out, p, n);
    out += n;
    p = lastSeparator + 1;
  }
  *out++ = 0;
  // Name and extension.
  const char* dot = std::strrchr(p, '.');
  const size_t nameLength = dot ? static_cast<size_t>(dot - p) : std::strlen(p);
  name_ = out;
  std::memcpy(out, p, nameLength);
  out += nameLength;
  *out++ = 0;
  ext_ = out;
  if (dot) {
    const size_t n = std::strlen(dot + 1);
    std::memcpy(out, dot + 1, n);
    out += n;
  }
  *out = 0;
}

PStr PFilePath::Directory() const {
  PStr text(drive_);
  text.Append(dir_);
  return text;
}

PStr PFilePath::NameExt() const {
  PStr text(name_);
  if (ext_[0]) text.Append(".").Append(ext_);
  return text;
}

void PFilePath::SetExtension(const char* ext) {
  std::string text = std::string(drive_) + dir_ + name_;
  if (ext && *ext == '.') ++ext;
  if (ext && *ext) text += std::string(".") + ext;
  Set(text.c_str());
}

void PFilePath::SetName(const char* name) {
  std::string text = std::string(drive_) + dir_;
  if (name && IsPathSeparator(*name)) ++name;
  if (name) text += name;
  if (ext_[0]) text += std::string(".") + ext_;
  Set(text.c_str());
}

PFilePath& PFilePath::Join(const char* base, const char* relative) {
  std::string text = base ? base : "";
  if (relative && IsPathSeparator(*relative)) ++relative;
  // No second separator when the base already ends with one ("/" or "C:\\").
  if (!text.empty() && !EndsWithSeparator(text)) text += platform::kPathSeparator;
  if (relative) text += relative;
  Set(text.c_str());
  return *this;
}

PFilePath& PFilePath::Append(const char* component) {
  const std::string base = path_;
  return Join(base.c_str(), component);
}

bool PFilePath::Exists() const {
  return ::Exists(path_);
}

// ---------------------------------------------------------------------------
// Program folder

PStr ProgramFolder() {
  std::string folder = platform::GetEnvironment("*SystemPath*");
  if (folder.empty()) {
    const std::string host = platform::HostExecutablePath();
    if (!host.empty()) folder = PFilePath(host.c_str()).Directory().c_str();
  }
  if (!folder.empty() && !EndsWithSeparator(folder)) folder += platform::kPathSeparator;
  return PStr(folder.c_str());
}

PStr ProgramFile(const char* name, const char* extension, const char* subfolder) {
  std::string text = ProgramFolder().c_str();
  if (subfolder && *subfolder) {
    text += subfolder;
    if (!EndsWithSeparator(text)) text += platform::kPathSeparator;
  }
  if (name) text += name;
  if (extension && *extension) {
    if (*extension != '.') text += '.';
    text += extension;
  }
  return PStr(text.c_str());
}

// ---------------------------------------------------------------------------
// Tests on paths

bool Exists(const char* path) {
  if (!path || !*path) return false;
  if (IsDriveRoot(path)) return platform::DriveType(path) != 1;
  // A search never reports the "." and ".." entries as a match.
  const char* last = path;
  for (const char* p = path; *p; ++p)
    if (IsPathSeparator(*p) && p[1]) last = p + 1;
  std::string component = last;
  if (EndsWithSeparator(component)) component.pop_back();
  if (component == "." || component == "..") return false;
  return platform::PathExists(path);
}

bool IsDirectory(const char* path) {
  if (!path || !*path) return false;
  if (std::strpbrk(path, "*?")) return false;
  if (IsDriveRoot(path)) return platform::DriveType(path) != 1;
  return platform::IsDirectory(path);
}

bool SamePath(const char* a, const char* b) {
  if (!a || !b) return false;
  size_t lengthB = std::strlen(b);
  if (lengthB && IsPathSeparator(b[lengthB - 1])) --lengthB;
  if (std::strlen(a) != lengthB) return false;
  for (size_t i = 0; i < lengthB; ++i)
    if (LowerAscii(a[i]) != LowerAscii(b[i])) return false;
  return true;
}

// ---------------------------------------------------------------------------
// Directory trees

int CreateDirectories(const char* path) {
  if (!path || !*path) return 0;
  std::string text = path;
  if (text.size() == 1) return 2;
  if (text.size() > 1 && EndsWithSeparator(text)) text.pop_back();
  if (IsDirectory(text.c_str())) return 2;
  // The first level that can be created: past a drive, a root separator or
  // the "\\\\server\\share" of a network path.
  size_t start = 0;
  if (text.size() >= 2 && text[1] == ':') start = 2;
  if (start < text.size() && IsPathSeparator(text[start])) {
    ++start;
    if (start == 1 && text.size() > 1 && IsPathSeparator(text[1])) {
      size_t separators = 0;
      start = 2;
      while (start < text.size() && separators < 2) {
        if (IsPathSeparator(text[start])) ++separators;
        ++start;
      }
    }
  }
  for (size_t i = start; i <= text.size(); ++i) {
    if (i < text.size() && !IsPathSeparator(text[i])) continue;
    const std::string level = text.substr(0, i);
    if (level.empty() || IsPathSeparator(level.back()) || platform::IsDirectory(level.c_str()))
      continue;
    const uint32_t error = platform::CreateDirectory(level.c_str());
    if (error != 0 && !platform::IsDirectory(level.c_str())) {
      platform::SetLastError(error);
      return 0;
    }
  }
  return 1;
}

int DeleteTree(const char* path) {
  if (!IsDirectory(path)) return 0;
  // A link to a folder: only the link goes.
  if (platform::RemoveFile(path) == 0) return 1;
  struct Entry {
    std::string path;
    bool isDirectory;
    bool readOnly;
  };
  // Collect everything below the folder, parents before their children.
  std::vector<Entry> entries;
  std::vector<std::string> pending{path};
  while (!pending.empty()) {
    const std::string folder = pending.back();
    pending.pop_back();
    std::vector<Entry> found;
    platform::ListDirectory(folder.c_str(), [&](const platform::DirectoryEntry& entry) {
      std::string full = folder;
      if (!EndsWithSeparator(full)) full += platform::kPathSeparator;
      full += entry.name;
      found.push_back({full, entry.isDirectory, entry.readOnly});
    });
    for (Entry& entry : found) {
      // A link to a folder elsewhere is listed as a folder: removing it as a
      // file succeeds only for the link itself, and what it points to is
      // never walked. A real folder refuses and is walked.
      if (entry.isDirectory && platform::RemoveFile(entry.path.c_str()) == 0) continue;
      if (entry.isDirectory) pending.push_back(entry.path);
      entries.push_back(std::move(entry));
    }
  }
  for (const Entry& entry : entries) {
    if (entry.readOnly) platform::ClearReadOnly(entry.path.c_str());
    if (!entry.isDirectory) platform::RemoveFile(entry.path.c_str());
  }
  // Children were collected after their parents: remove in reverse.
  for (auto it = entries.rbegin(); it != entries.rend(); ++it)
    if (it->isDirectory) platform::RemoveDirectory(it->path.c_str());
  const uint32_t error = platform::RemoveDirectory(path);
  if (error != 0) {
    platform::SetLastError(error);
    return 0;
  }
  return 1;
}

bool MoveFile(const char* from, const char* to, bool replace) {
  if (!from || !*from || !to) return false;
  uint32_t flags = platform::kMoveCopyAllowed;
  if (replace) flags |= platform::kMoveReplaceExisting;
  const uint32_t error = platform::MoveFile(from, to, flags);
  if (error != 0) platform::SetLastError(error);
  return error == 0;
}

// ---------------------------------------------------------------------------
// PTempFile

PTempFile::PTempFile(bool deleteOnDestroy) {
  const std::string folder = platform::TempFolder();
  Set(platform::CreateTempFile(folder.c_str(), "").c_str());
  SetDeleteOnDestroy(deleteOnDestroy);
}
