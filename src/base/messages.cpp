// The message routine, the message hook, language selection, error texts,
// environment and procedures imported at run time.
#include "base/messages.h"

#include <cstdarg>
#include <cstring>
#include <memory>
#include <string>

#include "base/format.h"
#include "base/log.h"
#include "base/options.h"
#include "base/per_thread.h"
#include "platform/errors.h"
#include "platform/message_box.h"
#include "platform/system.h"

extern const int g_FoundationStartupAnchor;
[[maybe_unused]] static const int* const kStartupAnchor = &g_FoundationStartupAnchor;

namespace {

// ---------------------------------------------------------------------------
// Language selection

bool g_SecondLanguage = false;

// The per-thread ring the selected texts are written to.
struct MessageRing {
  std::unique_ptr<char[]> buffer;
  size_t position = 0;

  // Copies the text into the ring and returns the copy.
  const char* Store(const std::string& text) {
    if (!buffer) buffer = std::make_unique<char[]>(kMessageRingSize);
    size_t length = text.size();
    if (length > kMessageRingSize - 1) length = kMessageRingSize - 1;
    if (position + length + 1 > kMessageRingSize) position = 0;
    char* result = buffer.get() + position;
    std::memcpy(result, text.data(), length);
    result[length] = 0;
    position += length + 1;
    return result;
  }
};

MessageRing& Ring() {
  static Immortal<PerThread<MessageRing>> rings;
  return rings.Get().Get();
}

// The substitution table of "</NAME/>" markers. The library defines no names,
// so every marker becomes empty.
const char* SubstitutionValue(const char* /*name*/, size_t /*length*/) {
  return "";
}

// Appends text[begin, end) with the marker substitution applied.
void AppendSubstituted(std::string& out, const char* begin, const char* end) {
  const char* p = begin;
  while (p < end) {
    if (p[0] == '<' && p + 1 < end && p[1] == '/') {
      const char* name = p + 2;
      const char* close = name;
      while (close + 1 < end && !(close[0] == '/' && close[1] == '>'))
        ++close;
      if (close + 1 < end) {
        out += SubstitutionValue(name, static_cast<size_t>(close - name));
        p = close + 2;
        continue;
      }
    }
    out += *p++;
  }
}

// Splits a two-language text at its first single bar; "||" is a literal bar
// in either part.
void SplitLanguages(const char* text, std::string& first, std::string& second, bool& hasSecond) {
  hasSecond = false;
  std::string* out = &first;
  for (const char* p = text; *p != 0; ++p) {
    if (*p == '|') {
      if (p[1] == '|') {
        *out += '|';
        ++p;
        continue;
      }
      if (!hasSecond) {
        hasSecond = true;
        out = &second;
        continue;
      }
    }
    *out += *p;
  }
}

// ---------------------------------------------------------------------------
// The message hook

int DefaultShowMessage(uint32_t style, const char* text) {
  // The caption is the log title (the module name). Windows restores the
  // keyboard focus afterwards; without windows there is nothing to restore.
  return platform::ShowMessageBox(text, LogTitle(), style | platform::kMbSetForeground);
}

std::atomic<ShowMessageHookFn> g_ShowMessageHook{DefaultShowMessage};

constexpr size_t kMaxMessageText = 16383;

// Removes control characters 4 and 6, and every 7 together with the six
// characters after it (never past the end of the text).
void StripControlCharacters(std::string& text) {
  std::string out;
  out.reserve(text.size());
  for (size_t i = 0; i < text.size(); ++i) {
    char c = text[i];
    if (c == 4 || c == 6) continue;
    if (c == 7) {
      size_t skip = text.size() - i - 1;
      if (skip > 6) skip = 6;
      i += skip;
      continue;
    }
    out += c;
  }
  text.swap(out);
}

std::string TrimLineBreaks(std::string text) {
  while (!text.empty() && (text.back() == '\r' || text.back() == '\n'))
    text.pop_back();
  return text;
}

int ShowUnknownOption() {
  const char* text = ResourceText(kUnknownOptionMessageId);
  if (text == nullptr || *text == 0) {
    ErrorBox("<Message string with resource id = %u not linked>", kUnknownOptionMessageId);
  } else {
    ErrorBox("%s", text);
  }
  return 1;
}

}  // namespace

const char* SelectLanguage(const char* text) {
  if (text == nullptr) return Ring().Store(std::string());
  if (reinterpret_cast<uintptr_t>(text) < kMaxMessageId)
    return ResourceText(static_cast<uint32_t>(reinterpret_cast<uintptr_t>(text)));
  std::string first, second;
  bool hasSecond = false;
  SplitLanguages(text, first, second, hasSecond);
  const std::string& chosen = (g_SecondLanguage && hasSecond && !second.empty()) ? second : first;
  std::string result;
  result.reserve(chosen.size());
  AppendSubstituted(result, chosen.data(), chosen.data() + chosen.size());
  return Ring().Store(result);
}

bool SecondLanguageSelected() {
  return g_SecondLanguage;
}
void SelectSecondLanguage(bool on) {
  g_SecondLanguage = on;
}

ShowMessageHookFn SetShowMessageHook(ShowMessageHookFn hook) {
  return g_ShowMessageHook.exchange(hook != nullptr ? hook : DefaultShowMessage);
}

int ShowMessage(uint32_t style, const char* format, ...) {
  va_list args;
  va_start(args, format);
  PStr text;
  text.VFormat(format != nullptr ? format : "", args);
  va_end(args);
  return g_ShowMessageHook.load()(style, text.IsNull() ? "" : text.c_str());
}

int ErrorBox(const char* format, ...) {
  va_list args;
  va_start(args, format);
  PStr text;
  text.VFormat(format != nullptr ? format : "", args);
  va_end(args);
  return ShowMessage(platform::kMbIconHand, "%s", text.IsNull() ? "" : text.c_str());
}

int VMessage(const char* options, va_list args) {
  // The last error is taken before anything here can change it.
  const uint32_t lastError = platform::LastError();
  // Both texts are copied out of the ring at once: a later selection may
  // wrap it.
  std::string text;
  std::string caption;
  bool haveCaption = false;
  bool haveText = false;
  bool appendError = false;
  bool information = false;
  bool warning = false;
  uint32_t style = 0;
  uint32_t messageId = 0;
  bool fromId = false;

  for (const char* p = options != nullptr ? options : ""; *p != 0; ++p) {
    char letter = *p;
    if (letter >= 'A' && letter <= 'Z') letter = static_cast<char>(letter - 'A' + 'a');
    switch (letter) {
      case 's':
        text = SelectLanguage(va_arg(args, const char*));
        haveText = true;
        fromId = false;
        break;
      case 'm':
        messageId = va_arg(args, uint32_t);
        text = ResourceText(messageId);
        haveText = true;
        fromId = true;
        break;
      case 't':
        caption = SelectLanguage(va_arg(args, const char*));
        haveCaption = true;
        break;
      case 'r':
        caption = ResourceText(static_cast<uint16_t>(va_arg(args, unsigned int)));
        haveCaption = true;
        break;
      case 'e':
        appendError = true;
        break;
      case 'i':
        information = true;
        break;
      case 'w':
        warning = true;
        break;
      case 'y':
        style |= platform::kMbTopmost;
        break;
      case 'a':
        // The module whose resources are used: resources exist only in
        // Windows modules, and the catalogue is the same for every module.
        (void)va_arg(args, void*);
        break;
      case 'n':
      case 'v':
        return 0;
      case '#':
      case '*':
      case '+':
      case 'g':
        (void)va_arg(args, void*);
        break;
      case 'f':
      case 'h':
      case 'u':
      case 'l':
      case 'd':
      case 'q':
      case '1':
      case 'b':
      case 'p':
      case 'x':
      case 'c':
      case 'k':
      case 'o':
        break;
      default:
        return ShowUnknownOption();
    }
  }
  if (!haveText) return ShowUnknownOption();

  if (information) {
    style |= platform::kMbIconAsterisk;
    if (!haveCaption) {
      caption = SelectLanguage("Information|");
      haveCaption = true;
    }
  } else if (warning) {
    style |= platform::kMbIconExclamation;
  } else {
    style |= platform::kMbIconHand;
  }
  if (!haveCaption) caption = SelectLanguage("Error|");

  std::string message;
  if (fromId && text.empty()) {
    message = PFormatBuffer("<Message string with resource id = %u not linked>", messageId).Text();
  } else {
    std::unique_ptr<char[]> buffer = std::make_unique<char[]>(kMaxMessageText + 1);
    int n = VFormatTo(buffer.get(), kMaxMessageText + 1, text.c_str(), args);
    if (n < 0) buffer[0] = 0;
    message = buffer.get();
  }
  if (appendError) {
    message += ":\n";
    PStr errorText = SystemErrorText(lastError);
    if (!errorText.IsNull()) message += errorText.c_str();
  }
  if (DebugOutputEnabled()) LogPrint("[%s] %s\n", caption.c_str(), message.c_str());
  StripControlCharacters(message);
  return platform::ShowMessageBox(message.c_str(), caption.c_str(), style);
}

int Message(const char* options, ...) {
  va_list args;
  va_start(args, options);
  int result = VMessage(options, args);
  va_end(args);
  return result;
}

// ---------------------------------------------------------------------------
// Error texts and environment

PStr SystemErrorText(uint32_t code) {
  std::string text = platform::ErrorText(code);
  if (text.size() > 1023) text.resize(1023);
  return PStr(TrimLineBreaks(std::move(text)).c_str());
}

PStr LastErrorText() {
  return SystemErrorText(platform::LastError());
}

PStr RuntimeErrorText() {
  std::string text = TrimLineBreaks(platform::RuntimeErrorText(platform::RuntimeErrno()));
  if (text.empty()) text = "Unknown error";
  return PStr(text.c_str());
}

PStr GetEnvironment(const char* name) {
  if (name == nullptr) return PStr("");
  return PStr(platform::GetEnvironment(name).c_str());
}

PStr ExpandEnvironment(const char* text) {
  if (text == nullptr) return PStr("");
  return PStr(platform::ExpandEnvironment(text).c_str());
}

// ---------------------------------------------------------------------------
// Procedures imported at run time

RT_IMPORT_PROC::RT_IMPORT_PROC(const char* procedure, const char* module, uint32_t argumentCount)
    : Istr(procedure), module_(module), argumentCount_(argumentCount) {}

void RT_IMPORT_PROC::LookUp() {
  if (text_ == nullptr) return;
  void* module = platform::LoadModule(module_.Text());
  if (module == nullptr) return;
  address_.store(platform::FindProcedure(module, text_));
}

bool RT_IMPORT_PROC::IsAvailable() {
  return Address() != nullptr;
}

void* RT_IMPORT_PROC::Address() {
  if (!lookedUp_.load(std::memory_order_acquire)) {
    LookUp();
    lookedUp_.store(true, std::memory_order_release);
  }
  return address_.load();
}
