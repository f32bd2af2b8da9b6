// The registry values Ferrox reads under its own keys, with their types: what lets a tool tell a
// misspelt name or a value of the wrong type from a setting before a program ignores it.
#pragma once
#include "platform/types.h"

// A value read as text or as a number alike (the platform's settings take both).
constexpr DWORD KNOWN_TEXT_OR_NUMBER = 0xFFFFFFFFu;

enum KnownValueAnswer {
  KEY_NOT_CHECKED = -1,  // not one of the keys whose values Ferrox names (or a free-form one)
  VALUE_UNKNOWN = 0,     // a Ferrox key, but no value of that name is read under it
  VALUE_KNOWN = 1,       // *type is the type it is read as (REG_DWORD, REG_SZ, REG_BINARY or either)
};

// `key` is a path below HKEY_LOCAL_MACHINE (no leading "HKLM\"); names and keys compare as the
// registry does, without regard to case.
int LookUpKnownValue(LPCWSTR key, LPCWSTR name, DWORD* type);

// "dword", "sz", "binary" or "sz or dword".
const char* KnownTypeName(DWORD type);
