// REGEDIT4 text: the format registry files are exchanged in.
#include "support/reg_file.h"
#include "platform/holders.h"
#include <cstring>
#include <functional>
#include "platform/platform.h"

namespace {

std::string LowerAscii(std::string s) {
  for (char& c : s)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c + 32);
  return s;
}

// Whether `s` is well-formed UTF-8: no stray or missing continuation bytes, no overlong forms, no
// surrogates, nothing beyond U+10FFFF. Text that is not would not come back the same when written.
bool WellFormedUtf8(const std::string& s) {
  for (size_t i = 0; i < s.size();) {
    const unsigned char c = static_cast<unsigned char>(s[i]);
    int extra;
    char32_t v;
    if (c < 0x80) {
      ++i;
      continue;
    } else if (c >= 0xC2 && c <= 0xDF) {
      extra = 1, v = c & 0x1F;
    } else if (c >= 0xE0 && c <= 0xEF) {
      extra = 2, v = c & 0x0F;
    } else if (c >= 0xF0 && c <= 0xF4) {
      extra = 3, v = c & 0x07;
    } else {
      return false;
    }
    if (i + static_cast<size_t>(extra) >= s.size()) return false;
    for (int k = 1; k <= extra; ++k) {
      const unsigned char d = static_cast<unsigned char>(s[i + static_cast<size_t>(k)]);
      if ((d & 0xC0) != 0x80) return false;
      v = (v << 6) | (d & 0x3F);
    }
    if ((extra == 2 && v < 0x800) || (extra == 3 && (v < 0x10000 || v > 0x10FFFF)) || (v >= 0xD800 && v <= 0xDFFF))
      return false;
    i += static_cast<size_t>(extra) + 1;
  }
  return true;
}

std::vector<uint8_t> WideBytes(const std::string& utf8) {
  std::u16string w = Utf8ToWide(utf8.c_str());
  std::vector<uint8_t> out;
  for (char16_t c : w) {
    out.push_back(static_cast<uint8_t>(c & 0xFF));
    out.push_back(static_cast<uint8_t>(c >> 8));
  }
  out.push_back(0);
  out.push_back(0);
  return out;
}

bool ParseHexBytes(const std::string& s, std::vector<uint8_t>& out) {
  std::string cur;
  auto flush = [&]() {
    if (cur.empty()) return true;
    if (cur.size() > 2) return false;
    out.push_back(static_cast<uint8_t>(strtoul(cur.c_str(), nullptr, 16)));
    cur.clear();
    return true;
  };
  for (char c : s) {
    if (c == ',') {
      if (cur.empty() || !flush()) return false;
    } else if (isxdigit(static_cast<unsigned char>(c))) {
      cur += c;
    } else if (c != ' ' && c != '\t') {
      return false;
    }
  }
  return flush();
}

// Reads a quoted string starting at s[i] == '"'; i ends after the closing quote.
bool ParseQuoted(const std::string& s, size_t& i, std::string& out) {
  out.clear();
  for (++i; i < s.size(); ++i) {
    if (s[i] == '\\' && i + 1 < s.size()) {
      out += s[++i];
    } else if (s[i] == '"') {
      ++i;
      return true;
    } else {
      out += s[i];
    }
  }
  return false;
}

std::string Quote(const std::string& s) {
  std::string out = "\"";
  for (char c : s) {
    if (c == '\\' || c == '"') out += '\\';
    out += c;
  }
  return out + "\"";
}

bool ParseValueData(const std::string& text, uint32_t& type, std::vector<uint8_t>& data, bool& remove) {
  remove = false;
  data.clear();
  if (text == "-") {
    remove = true;
    return true;
  }
  if (!text.empty() && text[0] == '"') {
    size_t i = 0;
    std::string s;
    if (!ParseQuoted(text, i, s) || text.find_first_not_of(" \t", i) != std::string::npos) return false;
    type = REG_SZ;
    data = WideBytes(s);
    return true;
  }
  std::string lower = LowerAscii(text);
  if (lower.rfind("dword:", 0) == 0) {
    std::string digits = text.substr(6);
    if (digits.empty() || digits.size() > 8 || digits.find_first_not_of("0123456789abcdefABCDEF") != std::string::npos)
      return false;
    uint32_t v = static_cast<uint32_t>(strtoul(digits.c_str(), nullptr, 16));
    type = REG_DWORD;
    data = {static_cast<uint8_t>(v), static_cast<uint8_t>(v >> 8), static_cast<uint8_t>(v >> 16),
            static_cast<uint8_t>(v >> 24)};
    return true;
  }
  if (lower.rfind("hex:", 0) == 0) {
    type = REG_BINARY;
    return ParseHexBytes(text.substr(4), data);
  }
  if (lower.rfind("hex(", 0) == 0) {
    size_t close = lower.find("):");
    if (close == std::string::npos) return false;
    std::string t = lower.substr(4, close - 4);
    if (t.empty() || t.find_first_not_of("0123456789abcdef") != std::string::npos) return false;
    type = static_cast<uint32_t>(strtoul(t.c_str(), nullptr, 16));
    return ParseHexBytes(text.substr(close + 2), data);
  }
  return false;
}

std::string HexList(const std::vector<uint8_t>& data, size_t firstColumn) {
  std::string out;
  size_t column = firstColumn;
  char b[4];
  for (size_t i = 0; i < data.size(); ++i) {
    snprintf(b, sizeof b, "%02x", data[i]);
    out += b;
    column += 2;
    if (i + 1 < data.size()) {
      out += ',';
      ++column;
      if (column > 76) {
        out += "\\\n  ";
        column = 2;
      }
    }
  }
  return out;
}

}  // namespace

bool StripMachineRoot(const std::string& path, std::string& below) {
  std::string p = path;
  while (!p.empty() && p[0] == '\\') p.erase(0, 1);
  std::string lower = LowerAscii(p);
  for (const char* root : {"hkey_local_machine", "hklm"}) {
    size_t n = strlen(root);
    if (lower == root) {
      below.clear();
      return true;
    }
    if (lower.rfind(root, 0) == 0 && lower[n] == '\\') {
      below = p.substr(n + 1);
      while (!below.empty() && below.back() == '\\') below.pop_back();
      return true;
    }
  }
  if (lower.rfind("hkey_", 0) == 0 || lower.rfind("hkcu", 0) == 0 || lower.rfind("hkcr", 0) == 0) return false;
  below = p;  // a path without a root is taken below HKEY_LOCAL_MACHINE
  return true;
}

std::string FormatRegValue(uint32_t type, const std::vector<uint8_t>& data) {
  if (type == REG_DWORD && data.size() == 4) {
    char b[20];
    uint32_t v = data[0] | data[1] << 8 | data[2] << 16 | static_cast<uint32_t>(data[3]) << 24;
    snprintf(b, sizeof b, "dword:%08x", v);
    return b;
  }
  if (type == REG_SZ && data.size() >= 2 && data.size() % 2 == 0) {
    std::u16string w;
    for (size_t i = 0; i + 1 < data.size(); i += 2) w.push_back(static_cast<char16_t>(data[i] | data[i + 1] << 8));
    // Only a terminated string without inner NULs is written as text; anything else as bytes.
    if (w.back() == 0 && w.find(u'\0') == w.size() - 1) return Quote(WideToUtf8(w.c_str()));
  }
  if (type == REG_BINARY) return "hex:" + HexList(data, 8);
  char prefix[24];
  snprintf(prefix, sizeof prefix, "hex(%x):", type);
  return prefix + HexList(data, 12);
}

bool ParseRegText(const std::string& text, std::vector<RegChange>& changes, std::string& error) {
  changes.clear();
  std::string raw, line;
  size_t at = 0;
  int number = 0, start = 0;
  bool header = false;
  std::string key;
  bool haveKey = false;
  auto fail = [&](const std::string& what) {
    error = "line " + std::to_string(start) + ": " + what;
    changes.clear();
    return false;
  };
  while (at < text.size()) {
    size_t end = text.find('\n', at);
    if (end == std::string::npos) end = text.size();
    raw.assign(text, at, end - at);
    at = end + 1;
    ++number;
    if (!raw.empty() && raw.back() == '\r') raw.pop_back();
    if (!WellFormedUtf8(raw)) {
      start = number;
      return fail("text that is not UTF-8");
    }
    if (line.empty()) {
      start = number;
    } else {
      size_t lead = raw.find_first_not_of(" \t");
      raw = lead == std::string::npos ? "" : raw.substr(lead);
    }
    // A value continued on the next line (long hex lists) ends in a backslash.
    size_t last = raw.find_last_not_of(" \t");
    bool keyLine = line.empty() && !raw.empty() && raw.find_first_not_of(" \t") != std::string::npos &&
                   raw[raw.find_first_not_of(" \t")] == '[';
    if (!keyLine && last != std::string::npos && raw[last] == '\\') {
      line += raw.substr(0, last);
      continue;
    }
    line += raw;
    std::string l = line;
    line.clear();
    if (number == 1 && l.size() >= 3 && static_cast<unsigned char>(l[0]) == 0xEF) l.erase(0, 3);  // BOM
    size_t first = l.find_first_not_of(" \t");
    if (first == std::string::npos || l[first] == ';') continue;
    l = l.substr(first);
    while (!l.empty() && (l.back() == ' ' || l.back() == '\t')) l.pop_back();
    if (!header) {
      if (l != "REGEDIT4" && l != "Windows Registry Editor Version 5.00") return fail("not a registry file (REGEDIT4 expected)");
      header = true;
      continue;
    }
    if (l[0] == '[') {
      if (l.back() != ']') return fail("key line without ']'");
      bool del = l.size() > 1 && l[1] == '-';
      std::string path = l.substr(del ? 2 : 1, l.size() - (del ? 3 : 2));
      if (!StripMachineRoot(path, key) || key.empty())
        return fail("key outside HKEY_LOCAL_MACHINE: " + path);
      changes.push_back({del ? RegChange::DeleteKey : RegChange::CreateKey, key, "", 0, {}});
      haveKey = !del;
      continue;
    }
    if (!haveKey) return fail("value outside a key");
    std::string name;
    size_t i = 0;
    if (l[0] == '@') {
      i = 1;
    } else if (l[0] == '"') {
      if (!ParseQuoted(l, i, name)) return fail("unterminated value name");
    } else {
      return fail("unexpected text: " + l);
    }
    size_t eq = l.find_first_not_of(" \t", i);
    if (eq == std::string::npos || l[eq] != '=') return fail("'=' expected after the value name");
    std::string data = l.substr(eq + 1);
    size_t d = data.find_first_not_of(" \t");
    data = d == std::string::npos ? "" : data.substr(d);
    RegChange c{RegChange::SetValue, key, name, 0, {}};
    bool remove;
    if (!ParseValueData(data, c.type, c.data, remove)) return fail("bad value data: " + data);
    if (remove) c.kind = RegChange::DeleteValue;
    changes.push_back(c);
  }
  if (!line.empty()) return fail("file ends inside a continued line");
  if (!header) {
    start = 1;
    return fail("not a registry file (REGEDIT4 expected)");
  }
  return true;
}

bool ParseTypedData(const std::string& arg, uint32_t& type, std::vector<uint8_t>& data, std::string& error) {
  std::string lower = LowerAscii(arg);
  data.clear();
  if (lower.rfind("dword:", 0) == 0) {
    std::string n = arg.substr(6);
    char* end = nullptr;
    errno = 0;
    unsigned long long v = strtoull(n.c_str(), &end, 0);
    if (n.empty() || *end || errno || v > 0xFFFFFFFFull || n[0] == '-') {
      error = "bad dword (decimal, or hex with 0x): " + n;
      return false;
    }
    type = REG_DWORD;
    data = {static_cast<uint8_t>(v), static_cast<uint8_t>(v >> 8), static_cast<uint8_t>(v >> 16),
            static_cast<uint8_t>(v >> 24)};
    return true;
  }
  if (lower.rfind("sz:", 0) == 0) {
    type = REG_SZ;
    data = WideBytes(arg.substr(3));
    return true;
  }
  if (lower.rfind("hex:", 0) == 0) {
    type = REG_BINARY;
    if (ParseHexBytes(arg.substr(4), data)) return true;
    error = "bad hex bytes (aa,bb,...): " + arg.substr(4);
    return false;
  }
  error = "bad type (dword:, sz: or hex: expected): " + arg;
  return false;
}

long ApplyRegChanges(const std::vector<RegChange>& changes, std::string& error, bool onlyMissing) {
  for (const RegChange& c : changes) {
    std::u16string key = Utf8ToWide(c.key.c_str()), name = Utf8ToWide(c.name.c_str());
    RegKeyHolder h;
    LONG err = ERROR_SUCCESS;
    if (onlyMissing && (c.kind == RegChange::DeleteKey || c.kind == RegChange::DeleteValue)) continue;
    if (onlyMissing && c.kind == RegChange::SetValue &&
        RegOpenKeyExW(HKEY_LOCAL_MACHINE, key.c_str(), 0, 0, h.Out()) == ERROR_SUCCESS) {
      bool present = RegQueryValueExW(h, name.c_str(), nullptr, nullptr, nullptr, nullptr) == ERROR_SUCCESS;
      h.Reset();
      if (present) continue;  // what the user set stays
    }
    switch (c.kind) {
      case RegChange::CreateKey:
        err = RegCreateKeyExW(HKEY_LOCAL_MACHINE, key.c_str(), 0, nullptr, 0, 0, nullptr, h.Out(), nullptr);
        break;
      case RegChange::DeleteKey:
        err = RegDeleteKeyW(HKEY_LOCAL_MACHINE, key.c_str());
        if (err == ERROR_FILE_NOT_FOUND) err = ERROR_SUCCESS;
        break;
      case RegChange::SetValue:
        err = RegCreateKeyExW(HKEY_LOCAL_MACHINE, key.c_str(), 0, nullptr, 0, 0, nullptr, h.Out(), nullptr);
        if (err == ERROR_SUCCESS)
          err = RegSetValueExW(h, name.c_str(), 0, c.type, c.data.data(), static_cast<DWORD>(c.data.size()));
        break;
      case RegChange::DeleteValue:
        err = RegOpenKeyExW(HKEY_LOCAL_MACHINE, key.c_str(), 0, 0, h.Out());
        if (err == ERROR_SUCCESS) err = RegDeleteValueW(h, name.c_str());
        if (err == ERROR_FILE_NOT_FOUND) err = ERROR_SUCCESS;
        break;
    }
    if (err != ERROR_SUCCESS) {
      error = "registry error " + std::to_string(err) + " at " + c.key;
      return err;
    }
  }
  return 0;
}

long ExportRegKey(const std::string& key, FILE* out, std::string& error) {
  std::function<long(const std::string&)> walk = [&](const std::string& path) -> long {
    std::u16string w = Utf8ToWide(path.c_str());
    RegKeyHolder h;
    LONG err = RegOpenKeyExW(HKEY_LOCAL_MACHINE, w.c_str(), 0, 0, h.Out());
    if (err != ERROR_SUCCESS) {
      error = "key not found: HKEY_LOCAL_MACHINE\\" + path;
      return err;
    }
    fprintf(out, "[HKEY_LOCAL_MACHINE%s%s]\n", path.empty() ? "" : "\\", path.c_str());
    for (DWORD i = 0;; ++i) {
      WCHAR name[16384];
      DWORD units = 16384, type = 0, size = 0;
      err = RegEnumValueW(h, i, name, &units, nullptr, &type, nullptr, &size);
      if (err == ERROR_NO_MORE_ITEMS) break;
      std::vector<uint8_t> data(size);
      units = 16384;
      if (err == ERROR_SUCCESS) err = RegEnumValueW(h, i, name, &units, nullptr, &type, data.data(), &size);
      if (err != ERROR_SUCCESS) {
        error = "registry error " + std::to_string(err) + " reading " + path;
        return err;
      }
      data.resize(size);
      std::string n = WideToUtf8(name);
      fprintf(out, "%s=%s\n", n.empty() ? "@" : Quote(n).c_str(), FormatRegValue(type, data).c_str());
    }
    fprintf(out, "\n");
    std::vector<std::string> subkeys;
    for (DWORD i = 0;; ++i) {
      WCHAR name[256];
      DWORD units = 256;
      if (RegEnumKeyExW(h, i, name, &units, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS) break;
      subkeys.push_back(WideToUtf8(name));
    }
    h.Reset();
    for (const std::string& s : subkeys)
      if (long e = walk(path.empty() ? s : path + "\\" + s)) return e;
    return 0;
  };
  fprintf(out, "REGEDIT4\n\n");
  return walk(key);
}
