// Number texts, number parsing, C escapes and the per-thread random generator.

#include "base/numbers.h"

#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>

PStr GroupThousands(uint32_t value) {
  char digits[16];
  const int n = std::snprintf(digits, sizeof digits, "%" PRIu32, value);
  char out[24];
  size_t used = 0;
  for (int i = 0; i < n; ++i) {
    if (i > 0 && (n - i) % 3 == 0) out[used++] = ',';
    out[used++] = digits[i];
  }
  out[used] = 0;
  return PStr(out);
}

PStr HexText(uint64_t value) {
  char out[24];
  std::snprintf(out, sizeof out, "%s%" PRIX64, value > 9 ? "0x" : "", value);
  return PStr(out);
}

PStr DecHexText(uint64_t value) {
  char out[48];
  if (value < 10)
    std::snprintf(out, sizeof out, "%" PRIu64, value);
  else
    std::snprintf(out, sizeof out, "%" PRIu64 " (0x%" PRIX64 ")", value, value);
  return PStr(out);
}

char* HexDigits(char* buffer, uint32_t digits, uint32_t value) {
  static const char kHex[] = "0123456789ABCDEF";
  if (digits > 8) digits = 8;
  for (uint32_t i = 0; i < digits; ++i)
    buffer[i] = kHex[(value >> (4 * (digits - 1 - i))) & 0xF];
  buffer[digits] = 0;
  return buffer;
}

uint64_t ParseUInt64(const char* text) {
  if (!text) return 0;
  uint64_t value = 0;
  int scanned;
  if (text[0] == '0' && (text[1] == 'x' || text[1] == 'X'))
    scanned = std::sscanf(text + 2, "%" SCNx64, &value);
  else
    scanned = std::sscanf(text, "%" SCNu64, &value);
  return scanned == 1 ? value : 0;
}

int32_t TextToInt(const char* text) {
  if (!text || !*text) return 0;
  if (!text[1]) return IsDigit(static_cast<unsigned char>(text[0])) ? text[0] - '0' : 0;
  const char* p = text;
  if (text[1] != 'x' && text[1] != 'X') {
    // Leading zeros would make the text octal; configuration text means
    // decimal.
    while (*p == '0')
      ++p;
    if (!*p) return 0;
  }
  if (*p == '-') {
    // Signed conversion within the range of a 32-bit long.
    const long long value = std::strtoll(p, nullptr, 0);
    if (value < INT32_MIN) return INT32_MIN;
    if (value > INT32_MAX) return INT32_MAX;
    return static_cast<int32_t>(value);
  }
  // Unsigned conversion within the range of a 32-bit unsigned long: a value
  // too large gives 0xFFFFFFFF, a negated one wraps modulo 2^32.
  const char* q = p;
  while (IsSpace(static_cast<unsigned char>(*q)))
    ++q;
  bool negate = false;
  if (*q == '-' || *q == '+') {
    negate = *q == '-';
    ++q;
  }
  if (*q == '-' || *q == '+') return 0;  // strtoul accepts a single sign only
  const unsigned long long magnitude = std::strtoull(q, nullptr, 0);
  if (magnitude > 0xFFFFFFFFull) return static_cast<int32_t>(0xFFFFFFFFu);
  const uint32_t value = static_cast<uint32_t>(magnitude);
  return static_cast<int32_t>(negate ? 0u - value : value);
}

char DecodeEscape(const char*& position) {
  static const char kEscapes[] = "ntvbrf\\'\"0";
  static const char kDecoded[] = "\n\t\v\b\r\f\\'\"";  // and NUL for '0'
  const char c = *position;
  if (c == 0) return 0;
  if (const char* hit = std::strchr(kEscapes, c)) {
    ++position;
    return kDecoded[hit - kEscapes];  // the '0' entry meets the terminating zero
  }
  if (c == 'x') {
    // Two characters after the "x", never past the end of the text.
    char digits[3] = {};
    size_t n = 0;
    while (n < 2 && position[1 + n]) {
      digits[n] = position[1 + n];
      ++n;
    }
    position += 1 + n;
    return static_cast<char>(std::strtoul(digits, nullptr, 16));
  }
  if (c >= '1' && c <= '9') {
    // A run of up to nine decimal digits, read as octal the way strtoul base
    // 8 reads it (stopping at the first 8 or 9); the whole run is consumed.
    uint32_t value = 0;
    bool octal = true;
    size_t n = 0;
    while (n < 9 && position[n] >= '0' && position[n] <= '9') {
      if (position[n] > '7') octal = false;
      if (octal) value = value * 8 + static_cast<uint32_t>(position[n] - '0');
      ++n;
    }
    position += n;
    return static_cast<char>(value);
  }
  return c;
}

namespace {
thread_local uint32_t g_randomState = 0;
}

void SeedRandom(uint32_t seed) {
  g_randomState = seed;
}

uint32_t NextRandom() {
  g_randomState = g_randomState * 22695477u + 1u;
  return (g_randomState >> 16) & 0x7FFF;
}
