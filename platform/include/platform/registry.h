// Registry on SQLite (<root>/registry.db): case-insensitive key and value names that keep
// their spelling, safe for several processes at once.
#pragma once
#include "platform/types.h"

#define HKEY_CLASSES_ROOT (reinterpret_cast<HKEY>(static_cast<uintptr_t>(0x80000000u)))
#define HKEY_CURRENT_USER (reinterpret_cast<HKEY>(static_cast<uintptr_t>(0x80000001u)))
#define HKEY_LOCAL_MACHINE (reinterpret_cast<HKEY>(static_cast<uintptr_t>(0x80000002u)))

#define REG_NONE 0u
#define REG_SZ 1u
#define REG_EXPAND_SZ 2u
#define REG_BINARY 3u
#define REG_DWORD 4u
#define REG_MULTI_SZ 7u

#define REG_CREATED_NEW_KEY 1u
#define REG_OPENED_EXISTING_KEY 2u
#define KEY_ALL_ACCESS 0xF003Fu

LONG RegOpenKeyExW(HKEY parent, LPCWSTR subKey, DWORD options, REGSAM access, HKEY* result);
LONG RegCreateKeyExW(HKEY parent, LPCWSTR subKey, DWORD reserved, LPWSTR keyClass, DWORD options, REGSAM access,
                     LPSECURITY_ATTRIBUTES sa, HKEY* result, LPDWORD disposition);
LONG RegQueryValueExW(HKEY key, LPCWSTR name, LPDWORD reserved, LPDWORD type, LPBYTE data, LPDWORD size);
LONG RegSetValueExW(HKEY key, LPCWSTR name, DWORD reserved, DWORD type, const BYTE* data, DWORD size);
LONG RegDeleteValueW(HKEY key, LPCWSTR name);
LONG RegDeleteKeyW(HKEY parent, LPCWSTR subKey);
LONG RegEnumKeyExW(HKEY key, DWORD index, LPWSTR name, LPDWORD nameUnits, LPDWORD reserved, LPWSTR keyClass,
                   LPDWORD classUnits, FILETIME* lastWrite);
LONG RegEnumValueW(HKEY key, DWORD index, LPWSTR name, LPDWORD nameUnits, LPDWORD reserved, LPDWORD type,
                   LPBYTE data, LPDWORD size);
LONG RegCloseKey(HKEY key);

// Closes the database of this process (the next call reopens it under the current root).
void PlatformRegistryClose();
// The registry calls of this thread between these two are written together, as one change other
// processes see whole (and at the cost of one). Other threads' calls wait for the end. The end
// returns FALSE when the change could not be written (none of it is then).
void PlatformRegistryBeginBatch();
BOOL PlatformRegistryEndBatch();
// Text of the last failure to open the database, empty when none.
const char* PlatformRegistryError();
// Number of open key handles (for leak checks in tests).
int PlatformOpenKeyCount();
