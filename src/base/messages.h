// User messages, error texts and the facts about the process recorded at load.
#pragma once

#include <cstdint>

#include "base/strings.h"

// The option-driven message routine (letters s m t r e i w y a n v # * + g,
// and f h u l d q 1 b p x c k o without effect). Returns the button pressed,
// 0 for "n"/"v", 1 after an unknown letter.
int Message(const char* options, ...);

// Replaceable message hook: formats, adds MB_SETFOREGROUND, shows with the
// log title as caption.
using ShowMessageHookFn = int (*)(uint32_t style, const char* text);
ShowMessageHookFn SetShowMessageHook(ShowMessageHookFn hook);
int ShowMessage(uint32_t style, const char* format, ...);
// ShowMessage(MB_ICONHAND, "%s", formatted text).
int ErrorBox(const char* format, ...);

// Language selection of a two-language text ("||" is a literal bar); the
// result lives in the calling thread's 64 KiB ring.
const char* SelectLanguage(const char* text);
// Resource text by id (raw resource, string resource, catalogue, or "").
const char* ResourceText(uint32_t id);

PStr SystemErrorText(uint32_t code);
PStr LastErrorText();
PStr RuntimeErrorText();

PStr GetEnvironment(const char* name);
PStr ExpandEnvironment(const char* text);

// Load-time facts.
uint32_t MainThreadId();
bool IsMainThread();
const char* StartupDirectory();
const char* UserNameAtLoad();
bool UnderWine();
uint32_t GadgetSize();
uint32_t ButtonSize();
// Host program path and file name with extension.
const char* HostProgramPath();
const char* ModuleName();  // "NVDevices"

const char* OSDescription();
