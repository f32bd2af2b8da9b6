// Fuzzing the .reg reader: arbitrary text parsed into changes (or refused with a line number);
// every value it reads is written in .reg notation and read back to the same type and bytes.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>
#include "support/reg_file.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string text(reinterpret_cast<const char*>(data), size);
  std::vector<RegChange> changes;
  std::string error;
  if (!ParseRegText(text, changes, error)) {
    if (error.empty() || !changes.empty()) abort();  // a refusal says where and changes nothing
    return 0;
  }
  for (const RegChange& c : changes) {
    if (c.kind != RegChange::SetValue) continue;
    std::string again = "REGEDIT4\r\n\r\n[HKEY_LOCAL_MACHINE\\Fuzz]\r\n@=" + FormatRegValue(c.type, c.data) + "\r\n";
    std::vector<RegChange> back;
    if (!ParseRegText(again, back, error)) abort();
    bool found = false;
    for (const RegChange& b : back)
      if (b.kind == RegChange::SetValue) found = b.type == c.type && b.data == c.data;
    if (!found) abort();
  }
  return 0;
}
