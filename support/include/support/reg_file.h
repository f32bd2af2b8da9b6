// Registry text files (REGEDIT4): parsing into a list of changes, and writing a key tree.
#pragma once
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

struct RegChange {
  enum Kind { CreateKey, DeleteKey, SetValue, DeleteValue } kind;
  std::string key;   // path below HKEY_LOCAL_MACHINE
  std::string name;  // value name ("" for the default value)
  uint32_t type = 0;
  std::vector<uint8_t> data;
};

// Strips "HKLM\" or "HKEY_LOCAL_MACHINE\" (any case); returns false for other roots.
bool StripMachineRoot(const std::string& path, std::string& below);
// Parses the text; on failure returns false with "line N: what" in `error` and no changes.
bool ParseRegText(const std::string& text, std::vector<RegChange>& changes, std::string& error);
// Parses "dword:N", "sz:TEXT" or "hex:aa,bb" as given on the command line.
bool ParseTypedData(const std::string& arg, uint32_t& type, std::vector<uint8_t>& data, std::string& error);
// Applies the changes to the registry; returns 0 or the first registry error (with `error` set).
// With `onlyMissing`, values that exist are kept and deletions are skipped: it fills in.
long ApplyRegChanges(const std::vector<RegChange>& changes, std::string& error, bool onlyMissing = false);
// Writes KEY and its subkeys in REGEDIT4 form; returns 0 or the registry error.
long ExportRegKey(const std::string& key, FILE* out, std::string& error);
// One value in .reg notation (the part after '=').
std::string FormatRegValue(uint32_t type, const std::vector<uint8_t>& data);
