#include "ini/sections.h"

#include <algorithm>
#include <cstring>

#include "base/messages.h"
#include "base/numbers.h"
#include "ini/lines.h"
#include "ini/streams.h"

namespace {

const char kEmpty[] = "";

std::unique_ptr<char[]> CopyText(const char* text, size_t length) {
  std::unique_ptr<char[]> copy = std::make_unique_for_overwrite<char[]>(length + 1);
  if (length > 0) std::memcpy(copy.get(), text, length);
  copy[length] = 0;
  return copy;
}

bool KeyBefore(const INIItem* a, const INIItem* b) {
  return std::strcmp(a->Key(), b->Key()) < 0;
}

// Sorts an index by name; a stable sort keeps equal names in file order, so
// a search finds the first occurrence. Names often come sorted already.
template <typename T>
void SortIndex(std::vector<IndexEntry<T>>& index) {
  auto before = [](const IndexEntry<T>& a, const IndexEntry<T>& b) {
    return std::strcmp(a.name, b.name) < 0;
  };
  if (!std::is_sorted(index.begin(), index.end(), before)) {
    std::stable_sort(index.begin(), index.end(), before);
  }
}

// Copies a name to `names` and advances past it.
const char* CopyName(const char* name, char*& names) {
  const size_t length = std::strlen(name) + 1;
  std::memcpy(names, name, length);
  const char* copy = names;
  names += length;
  return copy;
}

// The first entry of that name, or null.
template <typename T>
T* SearchIndex(const std::vector<IndexEntry<T>>& index, const char* name) {
  auto it = std::lower_bound(index.begin(), index.end(), name,
                             [](const IndexEntry<T>& entry, const char* wanted) {
                               return std::strcmp(entry.name, wanted) < 0;
                             });
  return it != index.end() && std::strcmp(it->name, name) == 0 ? it->object : nullptr;
}

// Section names are held with real brackets; stored text uses 0x10 and 0x11.
std::string NameFromStored(const char* name, size_t length) {
  std::string text(name, length);
  for (char& c : text) {
    if (c == 0x10) c = '[';
    if (c == 0x11) c = ']';
  }
  return text;
}

std::string NameToStored(const char* name) {
  std::string text(name);
  for (char& c : text) {
    if (c == '[') c = 0x10;
    if (c == ']') c = 0x11;
  }
  return text;
}

// Copies at most size - 1 characters and a zero; null without text or room.
char* CopyValue(const char* text, char* buffer, size_t size) {
  if (text == nullptr || buffer == nullptr || size == 0) return nullptr;
  size_t length = std::strlen(text);
  if (length > size - 1) length = size - 1;
  std::memmove(buffer, text, length);
  buffer[length] = 0;
  return buffer;
}

bool IsItemStart(unsigned char c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '_' ||
         c == '$';
}

}  // namespace

// ---------------------------------------------------------------------------
// INIItem

INIItem::INIItem(const char* key, const char* value) {
  if (key == nullptr) key = kEmpty;
  if (value == nullptr) value = kEmpty;
  ownKey_ = CopyText(key, std::strlen(key));
  key_ = ownKey_.get();
  inline_[0] = 0;
  SetValue(value);
}

INIItem::INIItem(Shared, const char* key, const char* value, size_t valueLength) : key_(key) {
  if (valueLength <= kInlineValue) {
    SetInline(value, valueLength);
  } else {
    text_ = value;
    mode_ = kShared;
  }
}

INIItem::INIItem(INIItem&& other) noexcept : BaseObject(other), key_(kEmpty) {
  inline_[0] = 0;
  *this = std::move(other);
}

INIItem& INIItem::operator=(INIItem&& other) noexcept {
  if (this == &other) return *this;
  key_ = other.key_;
  ownKey_ = std::move(other.ownKey_);
  ownValue_ = std::move(other.ownValue_);
  mode_ = other.mode_;
  if (mode_ == kInline) {
    std::memcpy(inline_, other.inline_, sizeof inline_);
  } else {
    text_ = other.text_;
  }
  other.key_ = kEmpty;
  other.mode_ = kInline;
  other.inline_[0] = 0;
  return *this;
}

INIItem::~INIItem() = default;

bool INIItem::IsEqual(const BaseObject* other) const {
  const INIItem* item = dynamic_cast<const INIItem*>(other);
  return item != nullptr && std::strcmp(key_, item->key_) == 0;
}

bool INIItem::IsGreater(const BaseObject* other) const {
  const INIItem* item = dynamic_cast<const INIItem*>(other);
  return item != nullptr && std::strcmp(key_, item->key_) > 0;
}

void INIItem::SetInline(const char* value, size_t length) {
  std::memcpy(inline_, value, length);
  inline_[length] = 0;
  mode_ = kInline;
}

void INIItem::FreeValue() {
  ownValue_.reset();
  mode_ = kInline;
  inline_[0] = 0;
}

void INIItem::SetValue(const char* value) {
  if (value == nullptr) value = kEmpty;
  const size_t length = std::strlen(value);
  // Copy first: the new value may be part of the old one.
  if (length <= kInlineValue) {
    char copy[kInlineValue + 1];
    std::memcpy(copy, value, length + 1);
    FreeValue();
    SetInline(copy, length);
    return;
  }
  std::unique_ptr<char[]> copy = CopyText(value, length);
  FreeValue();
  ownValue_ = std::move(copy);
  text_ = ownValue_.get();
  mode_ = kOwned;
}

void INIItem::TakeValueOf(const INIItem& other) {
  if (&other == this) return;
  if (other.mode_ == kShared) {
    FreeValue();
    text_ = other.text_;
    mode_ = kShared;
  } else {
    SetValue(other.Value());
  }
}

// ---------------------------------------------------------------------------
// SectionItem

SectionItem::SectionItem(const char* name, size_t length)
    : Istr(NameFromStored(name != nullptr ? name : kEmpty, name != nullptr ? length : 0).c_str()) {}

SectionItem::SectionItem(const char* name)
    : SectionItem(name, name != nullptr ? std::strlen(name) : 0) {}

SectionItem::~SectionItem() = default;

bool SectionItem::HasSubsections() const {
  return subsections_ != nullptr && subsections_->Sections().Count() > 0;
}

INIItem* SectionItem::FindItem(const char* key) const {
  if (key == nullptr) return nullptr;
  if (!sorted_.empty()) return SearchIndex(sorted_, key);
  for (const INIItem& item : items_) {
    if (std::strcmp(item.Key(), key) == 0) return const_cast<INIItem*>(&item);
  }
  return nullptr;
}

void SectionItem::BuildIndex(char*& names) {
  sorted_.clear();
  if (items_.size() <= INIStreamStub::kIndexThreshold) return;
  sorted_.reserve(items_.size());
  for (INIItem& item : items_)
    sorted_.push_back({CopyName(item.Key(), names), &item});
  SortIndex(sorted_);
}

// ---------------------------------------------------------------------------
// INIStreamStub

INIStreamStub::INIStreamStub(uint32_t flags, uint32_t level, const char* fileName, bool loaded,
                             INIStreamStub* parent)
    : flags_(flags),
      level_(level),
      fileName_(fileName != nullptr ? fileName : ""),
      loaded_(loaded),
      parent_(parent) {}

INIStreamStub::~INIStreamStub() = default;

INIStreamStub& INIStreamStub::SelectSection(const char* name) {
  size_t length = 0;
  if (name != nullptr) {
    while (length < kMaxSelectedName && name[length] != 0)
      ++length;
    // The name may be the selected name itself.
    std::memmove(selectedName_, name, length);
  }
  selectedName_[length] = 0;
  selected_ = name != nullptr ? FindSection(selectedName_) : nullptr;
  return *this;
}

SectionItem* INIStreamStub::FindSection(const char* name) const {
  if (name == nullptr) return nullptr;
  if (!sortedSections_.empty()) return SearchIndex(sortedSections_, name);
  for (uint32_t i = 0; i < sections_.Count(); ++i) {
    SectionItem* section = sections_.At(i);
    if (std::strcmp(section->Name(), name) == 0) return section;
  }
  return nullptr;
}

INIItem* INIStreamStub::FindItem(const SectionItem* section, const char* key) const {
  return section != nullptr ? section->FindItem(key) : nullptr;
}

char* INIStreamStub::GetString(const char* key, const char* defaultText, char* buffer,
                               size_t size) const {
  const INIItem* item = FindItem(selected_, key);
  return CopyValue(item != nullptr ? item->Value() : defaultText, buffer, size);
}

INIStreamStub& INIStreamStub::ReadValue(const INIValue& value) {
  if (value.destination == nullptr) return *this;
  const INIItem* item = FindItem(selected_, value.key);
  switch (value.type) {
    case INIValue::kNumber:
      *static_cast<uint32_t*>(value.destination) =
          item != nullptr ? static_cast<uint32_t>(TextToInt(item->Value())) : value.defaultNumber;
      break;
    case INIValue::kText:
      CopyValue(item != nullptr ? item->Value() : value.defaultText,
                static_cast<char*>(value.destination), std::min(value.size, INIValue::kMaxText));
      break;
    case INIValue::kIstr:
      *static_cast<Istr*>(value.destination) =
          item != nullptr ? item->Value() : (value.defaultText != nullptr ? value.defaultText : "");
      break;
  }
  return *this;
}

bool INIStreamStub::DeleteSection(const char* name) {
  if (name == nullptr) return false;
  const std::string wanted = NameFromStored(name, std::strlen(name));
  SectionItem* section = FindSection(wanted.c_str());
  if (section == nullptr) return false;
  auto it =
      std::find_if(sortedSections_.begin(), sortedSections_.end(),
                   [section](const IndexEntry<SectionItem>& e) { return e.object == section; });
  if (it != sortedSections_.end()) sortedSections_.erase(it);
  if (selected_ == section) selected_ = nullptr;
  for (uint32_t i = 0; i < sections_.Count(); ++i) {
    if (sections_.At(i) == section) return sections_.Delete(i);
  }
  return false;
}

bool INIStreamStub::ParseLines(LineList& lines) {
  const bool lookUp = (flags_ & kLookUp) != 0;
  const bool keepBlanks = (flags_ & kKeepValueBlanks) != 0;
  // The tables open at the current line: this one, then one per nesting
  // level. Every table created is indexed at the end.
  std::vector<INIStreamStub*> open{this};
  std::vector<INIStreamStub*> tables{this};
  bool complete = true;
  const size_t count = lines.Count();
  for (size_t i = 0; i < count; ++i) {
    char* s = lines.Line(i);
    char* const end = s + lines.Length(i);
    while (s < end && IsSpace(static_cast<unsigned char>(*s)))
      ++s;
    INIStreamStub* table = open.back();
    if (*s == '[') {
      const char* name = s;
      while (*name == '[')
        ++name;
      const size_t depth = static_cast<size_t>(name - s) - 1;
      // A shallower line ends the nested tables and belongs to an outer one.
      while (depth < table->level_ && open.size() > 1) {
        open.pop_back();
        table = open.back();
      }
      const char* close = static_cast<const char*>(std::memchr(name, ']', end - name));
      const size_t nameLength = static_cast<size_t>((close != nullptr ? close : end) - name);
      if (depth == table->level_) {
        table->sections_.Add(std::make_unique<SectionItem>(name, nameLength).release());
        continue;
      }
      if (depth == table->level_ + 1 && table->sections_.Count() > 0 && depth <= kMaxNesting) {
        SectionItem* owner = table->sections_.Last();
        if (owner->subsections_ == nullptr) {
          owner->subsections_ = table->CreateNested();
          tables.push_back(owner->subsections_.get());
        }
        INIStreamStub* nested = owner->subsections_.get();
        nested->sections_.Add(std::make_unique<SectionItem>(name, nameLength).release());
        open.push_back(nested);
        continue;
      }
      // Deeper than one level below, or a subsection before any section:
      // nothing after this line can be placed, so the parse ends here.
      Message("sf", "INIStream('%s'): invalid section nesting %s", fileName_.c_str(), s);
      complete = false;
      break;
    }
    SectionItem* section = table->sections_.Count() > 0 ? table->sections_.Last() : nullptr;
    if (section == nullptr) continue;
    char* equals = IsItemStart(static_cast<unsigned char>(*s))
                       ? static_cast<char*>(std::memchr(s, '=', end - s))
                       : nullptr;
    if (equals != nullptr) {
      char* key = *s == '$' ? s + 1 : s;
      char* keyEnd = equals;
      while (keyEnd > key && IsSpace(static_cast<unsigned char>(keyEnd[-1])))
        --keyEnd;
      *keyEnd = 0;
      char* value = equals + 1;
      if (!keepBlanks) {
        while (value < end && IsSpace(static_cast<unsigned char>(*value)))
          ++value;
      }
      section->items_.emplace_back(INIItem::Shared{}, key, value, static_cast<size_t>(end - value));
    } else if (!lookUp) {
      // Kept whole so that it is written back (as a comment).
      section->items_.emplace_back(INIItem::Shared{}, kEmpty, s, static_cast<size_t>(end - s));
    }
  }
  keptText_.push_back(lines.ReleaseText());
  if (lookUp) {
    for (INIStreamStub* table : tables)
      table->BuildIndexes();
  }
  return complete;
}

void INIStreamStub::BuildIndexes() {
  // The indexes search copies of their names kept together in one block, so
  // that a search touches a few cache lines rather than one per step.
  sortedSections_.clear();
  const bool sectionIndex = sections_.Count() > kIndexThreshold;
  size_t bytes = 0;
  for (uint32_t i = 0; i < sections_.Count(); ++i) {
    const SectionItem* section = sections_.At(i);
    if (sectionIndex) bytes += std::strlen(section->Name()) + 1;
    if (section->items_.size() > kIndexThreshold) {
      for (const INIItem& item : section->items_)
        bytes += std::strlen(item.Key()) + 1;
    }
  }
  if (bytes == 0) return;
  std::unique_ptr<char[]> block = std::make_unique_for_overwrite<char[]>(bytes);
  char* names = block.get();
  if (sectionIndex) {
    sortedSections_.reserve(sections_.Count());
    for (uint32_t i = 0; i < sections_.Count(); ++i)
      sortedSections_.push_back({CopyName(sections_.At(i)->Name(), names), sections_.At(i)});
    SortIndex(sortedSections_);
  }
  for (uint32_t i = 0; i < sections_.Count(); ++i)
    sections_.At(i)->BuildIndex(names);
  keptText_.push_back(std::move(block));
}

void INIStreamStub::ResolveDuplicateKeys() {
  std::vector<INIItem*> byKey;
  for (uint32_t i = 0; i < sections_.Count(); ++i) {
    SectionItem* section = sections_.At(i);
    if (section->items_.size() > 1) {
      if (section->HasSortedIndex()) {
        byKey.clear();
        for (const IndexEntry<INIItem>& entry : section->sorted_)
          byKey.push_back(entry.object);
      } else {
        byKey.clear();
        for (INIItem& item : section->items_)
          byKey.push_back(&item);
        std::stable_sort(byKey.begin(), byKey.end(), KeyBefore);
      }
      // Equal keys stand together in file order: all take the last one's value.
      size_t first = 0;
      while (first < byKey.size()) {
        size_t last = first;
        while (last + 1 < byKey.size() &&
               std::strcmp(byKey[last + 1]->Key(), byKey[first]->Key()) == 0)
          ++last;
        for (size_t k = first; k < last; ++k)
          byKey[k]->TakeValueOf(*byKey[last]);
        first = last + 1;
      }
    }
    if (section->subsections_ != nullptr) section->subsections_->ResolveDuplicateKeys();
  }
}

bool INIStreamStub::WriteTable(FInOut& out, uint32_t extraLevel) const {
  bool lastWasItem = false;
  return WriteLevel(out, extraLevel, lastWasItem);
}

bool INIStreamStub::WriteLevel(FInOut& out, uint32_t extraLevel, bool& lastWasItem) const {
  bool ok = true;
  const std::string brackets(level_ + extraLevel + 1, '[');
  for (uint32_t i = 0; i < sections_.Count(); ++i) {
    const SectionItem* section = sections_.At(i);
    const bool hasSubsections = section->HasSubsections();
    if ((flags_ & kSkipEmptySections) && section->items_.empty() && !hasSubsections) continue;
    if (lastWasItem) ok &= out.Printf("\n") >= 0;
    ok &= out.Printf("%s", brackets.c_str()) >= 0;
    ok &= out.Printf("%s]\n", NameToStored(section->Name()).c_str()) >= 0;
    lastWasItem = false;
    for (const INIItem& item : section->items_) {
      if (*item.Key() != 0) {
        ok &= out.Printf("%s=%s\n", item.Key(), item.Value()) >= 0;
      } else {
        ok &= out.Printf("; %s\n", item.Value()) >= 0;
      }
      lastWasItem = true;
    }
    if (hasSubsections) {
      if (lastWasItem) ok &= out.Printf("\n") >= 0;
      lastWasItem = false;
      ok &= section->subsections_->WriteLevel(out, extraLevel, lastWasItem);
    }
  }
  return ok;
}
