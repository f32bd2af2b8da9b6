// The four registry operations every deliverable uses, each logged (under HKEY_LOCAL_MACHINE).
#pragma once
#include "platform/types.h"

// Each returns 0, the registry error, or -1 for a null key handle.
LONG OpenKey(LPCWSTR path, HKEY* key);
LONG CreateKey(LPCWSTR path, HKEY* key);
LONG ReadValue(HKEY key, LPCWSTR name, void* buffer, DWORD size);
LONG WriteValue(HKEY key, LPCWSTR name, DWORD type, const void* data, DWORD size);

// Convenience for DWORD values: read into *value only on success.
LONG ReadDword(HKEY key, LPCWSTR name, DWORD* value);
LONG WriteDword(HKEY key, LPCWSTR name, DWORD value);
// Writes a UTF-16 string with its terminator.
LONG WriteString(HKEY key, LPCWSTR name, LPCWSTR text);
