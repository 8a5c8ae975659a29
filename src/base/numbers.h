// Number texts and parsing, C escape decoding and the per-thread random
// generator.
#pragma once

#include <cstdint>

#include "base/strings.h"

// Decimal text with "," between groups of three digits: 1234567 ->
// "1,234,567".
PStr GroupThousands(uint32_t value);

// "7", "0xA", "0x1F": values above 9 get the prefix "0x".
PStr HexText(uint64_t value);

// "9" below 10, else "255 (0xFF)".
PStr DecHexText(uint64_t value);

// Writes the lowest `digits` hexadecimal digits (at most 8) of `value`, most
// significant first, upper case, zero-terminated; returns the buffer (room
// for digits + 1 characters, at most 9). 0 digits gives "".
char* HexDigits(char* buffer, uint32_t digits, uint32_t value);

// "0x"/"0X" prefix: hexadecimal, else decimal; 0 when nothing scans.
uint64_t ParseUInt64(const char* text);

// Integer value of configuration and database text: leading zeros are skipped
// (so "010" is ten, not eight), "0x1F" is 31, "-12" is -12; a single
// character is its digit value or 0. The result is a 32-bit value as the C
// runtime's long is on Windows: signed text saturates at the int32 limits,
// unsigned text saturates at 0xFFFFFFFF and is returned as its bit pattern.
// Null or empty text gives 0.
int32_t TextToInt(const char* text);

// Decodes one C escape sequence. `position` stands on the character after the
// backslash:
// - n t v b r f \ ' " 0: the control character (0 gives NUL); advances one;
// - x: up to two following hexadecimal digits; advances past the "x" and the
//   two characters after it, but never past the text's terminating zero;
// - a digit 1-9: it and up to eight following decimal digits (nine at most),
//   read as octal up to the first 8 or 9 (as strtoul base 8 reads them, so
//   "9" gives NUL and "18" gives 1); advances past the whole decimal run;
// - anything else: that character, without advancing.
// A position on the terminating zero gives NUL without advancing.
char DecodeEscape(const char*& position);

// Per-thread linear congruential generator: state = state * 22695477 + 1;
// NextRandom returns (state >> 16) & 0x7FFF. Each thread starts with state 0.
void SeedRandom(uint32_t seed);
uint32_t NextRandom();
