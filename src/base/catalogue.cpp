// The built-in two-language message catalogue and resource texts.
//
// The second parts are Russian, kept readable here in UTF-8 and converted once
// to their Windows-1251 bytes when the catalogue is built.
#include <memory>

#include "base/containers.h"
#include "base/messages.h"
#include "base/options.h"

namespace {

struct CatalogueRow {
  uint32_t id;
  const char* english;
  const char* russian;  // UTF-8
};

// clang-format off
constexpr CatalogueRow kCatalogueRows[] = {
    {6676, "Failed to copy file\n%s\nto\n%s", "Не удалось скопировать файл \n%s\nв\n%s"},
    {5230, "Unable to create file \"%s\"", "Не удалось создать файл \"%s\""},
    {8385, "Failed to open file \"%s\":\n%s", "Не удалось открыть файл \"%s\":\n%s"},
    {8102, "Error writing file '%s'", "Ошибка записи файла '%s'"},
    {5280, "Error reading file: '%s'", "Ошибка чтения файла: '%s'"},
    {8468, "Failed to move file\n%s\nto\n%s", "Не удалось переместить файл \n%s\nв\n%s"},
    {6399, "File \"%s\" does not exist", "Файл \"%s\" не существует"},
    {9541, "Current folder \"%s\" is read-only.", "Текущая папка \"%s\" защищена от записи."},
    {9542, "\n\nYou need to start the program as administrator",
           "\n\nВам нужно запускать программу от имени администратора"},
    {9543, " or reinstall the program into a folder other than \"%s\".",
           " или переустановить программу в папку, отличную от \"%s\"."},
    {9544, "\n\nYou need to reinstall the program into a folder other than \"%s\".",
           "\n\nВам нужно переустановить программу в папку, отличную от \"%s\"."},
    {9545, "d", "дн"},
    // Decimal prefixes from femto to tera (9565 has no entry).
    {9560, "f", "ф"},
    {9561, "p", "п"},
    {9562, "n", "н"},
    {9563, "µ", "мк"},  // the micro sign is byte 0xB5 in Windows-1251 as well
    {9564, "m", "м"},
    {9566, "k", "к"},
    {9567, "M", "М"},
    {9568, "G", "Г"},
    {9569, "T", "Т"},
};
// clang-format on

class MessageCatalogue {
 public:
  MessageCatalogue() {
    for (const CatalogueRow& row : kCatalogueRows) {
      // The whole text goes through the one converter: the English parts are
      // ASCII except the micro sign, which becomes its 1251 byte.
      PStr utf8(row.english);
      utf8.Append("|").Append(row.russian);
      PStr text = To1251(utf8.c_str());
      entries_.Add(std::make_unique<MLCString>(text.c_str(), row.id).release());
    }
  }

  const MLCString* Find(uint32_t id) const {
    for (uint32_t i = 0; i < entries_.Count(); ++i) {
      const MLCString* entry = entries_.At(i);
      if (entry->Id() == id) return entry;
    }
    return nullptr;
  }

 private:
  PSContainer<MLCString> entries_{32, 0};
};

const MessageCatalogue& Catalogue() {
  static Immortal<MessageCatalogue> catalogue;
  return catalogue.Get();
}

}  // namespace

const char* CatalogueText(uint32_t id) {
  const MLCString* entry = Catalogue().Find(id);
  return entry != nullptr ? entry->Text() : nullptr;
}

const char* ResourceText(uint32_t id) {
  // There are no raw-data or string resources outside a Windows module: the
  // catalogue answers, else the text is empty.
  const char* text = CatalogueText(id);
  return SelectLanguage(text != nullptr ? text : "");
}
