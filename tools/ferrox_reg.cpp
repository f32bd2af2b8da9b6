// ferrox-reg: list, read, write, import and export the registry of a data root.
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>
#include <getopt.h>  // optind: where the command starts
#include "platform/platform.h"
#include "platform/holders.h"
#include "support/reg_file.h"
#include "settings_store/known_values.h"
#include "support/program_options.h"

namespace {

const char kUsage[] =
    "Usage: ferrox-reg [--root DIR] COMMAND ...\n"
    "Reads and writes the registry (registry.db) of a Ferrox data root.\n"
    "\n"
    "Commands:\n"
    "  list KEY                 subkeys (ending in \\) and values of KEY\n"
    "  get KEY VALUE            print one value (dword in decimal, sz as text, binary as hex)\n"
    "  set [--force] KEY VALUE TYPE:DATA\n"
    "                           write a value; TYPE:DATA is dword:N (decimal, or hex with 0x),\n"
    "                           sz:TEXT or hex:aa,bb,...; the key is created when missing. Under\n"
    "                           Ferrox's own keys a name no program reads, or a known value of\n"
    "                           another type, is refused unless --force is given\n"
    "  delete KEY [VALUE]       delete a value, or the key with all its subkeys\n"
    "  import FILE.reg          apply a REGEDIT4 file (nothing is applied if it does not parse)\n"
    "  export KEY [FILE.reg]    write KEY and its subkeys as REGEDIT4 (to stdout without FILE)\n"
    "\n"
    "KEY is a path below HKEY_LOCAL_MACHINE; a leading HKLM\\ or HKEY_LOCAL_MACHINE\\ is accepted.\n"
    "Options:\n"
    "  --root DIR   data root (default: $FERROX_ROOT, else $XDG_DATA_HOME/ferrox,\n"
    "               else ~/.local/share/ferrox)\n"
    "  --version    print the version\n"
    "  --help       this text\n"
    "Exit status: 0 on success, 1 with a one-line message on stderr otherwise.\n";

int Fail(const std::string& message) {
  fprintf(stderr, "ferrox-reg: %s\n", message.c_str());
  return 1;
}

std::string RegError(LONG err, const std::string& what) {
  if (err == ERROR_BADDB || *PlatformRegistryError()) return PlatformRegistryError();
  if (err == ERROR_FILE_NOT_FOUND) return what;
  return what + " (registry: " + PlatformErrorText(static_cast<DWORD>(err)) + ")";
}

bool KeyArg(const std::string& arg, std::string& key) {
  return StripMachineRoot(arg, key);
}

int List(const std::string& key) {
  std::u16string w = Utf8ToWide(key.c_str());
  RegKeyHolder h;
  LONG err = RegOpenKeyExW(HKEY_LOCAL_MACHINE, w.c_str(), 0, 0, h.Out());
  if (err != ERROR_SUCCESS) return Fail(RegError(err, "key not found: " + key));
  for (DWORD i = 0;; ++i) {
    WCHAR name[256];
    DWORD units = 256;
    if (RegEnumKeyExW(h, i, name, &units, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS) break;
    printf("%s\\\n", WideToUtf8(name).c_str());
  }
  for (DWORD i = 0;; ++i) {
    WCHAR name[16384];
    DWORD units = 16384, type = 0, size = 0;
    if (RegEnumValueW(h, i, name, &units, nullptr, &type, nullptr, &size) != ERROR_SUCCESS) break;
    std::vector<uint8_t> data(size);
    units = 16384;
    if (RegEnumValueW(h, i, name, &units, nullptr, &type, data.data(), &size) != ERROR_SUCCESS) break;
    data.resize(size);
    std::string n = WideToUtf8(name);
    printf("\"%s\"=%s\n", n.c_str(), FormatRegValue(type, data).c_str());
  }
  return 0;
}

int Get(const std::string& key, const std::string& value) {
  std::u16string wk = Utf8ToWide(key.c_str()), wv = Utf8ToWide(value.c_str());
  RegKeyHolder h;
  LONG err = RegOpenKeyExW(HKEY_LOCAL_MACHINE, wk.c_str(), 0, 0, h.Out());
  if (err != ERROR_SUCCESS) return Fail(RegError(err, "key not found: " + key));
  DWORD type = 0, size = 0;
  err = RegQueryValueExW(h, wv.c_str(), nullptr, &type, nullptr, &size);
  std::vector<uint8_t> data(size);
  if (err == ERROR_SUCCESS) err = RegQueryValueExW(h, wv.c_str(), nullptr, &type, data.data(), &size);
  h.Reset();
  if (err != ERROR_SUCCESS) return Fail(RegError(err, "value not found: " + key + " " + value));
  data.resize(size);
  if (type == REG_DWORD && size == 4) {
    uint32_t v;
    memcpy(&v, data.data(), 4);
    printf("%u\n", v);
  } else if (type == REG_SZ && size % 2 == 0) {
    std::u16string w(size / 2, u'\0');
    memcpy(w.data(), data.data(), size);
    printf("%s\n", WideToUtf8(w.c_str()).c_str());
  } else {
    std::string text = FormatRegValue(REG_BINARY, data).substr(4);
    std::string flat;
    for (char c : text)
      if (c != '\\' && c != '\n' && c != ' ') flat += c;
    printf("%s\n", flat.c_str());
  }
  return 0;
}

// Why Ferrox would not read this value as written, or "" when it would (or does not check the key).
std::string Mistake(const std::string& key, const std::string& value, DWORD type) {
  DWORD wanted = 0;
  int known = LookUpKnownValue(Utf8ToWide(key.c_str()).c_str(), Utf8ToWide(value.c_str()).c_str(), &wanted);
  if (known == VALUE_UNKNOWN) return "no Ferrox program reads a value " + value + " under " + key + " (misspelt?)";
  if (known != VALUE_KNOWN || wanted == type) return "";
  if (wanted == KNOWN_TEXT_OR_NUMBER && (type == REG_SZ || type == REG_DWORD)) return "";
  return key + " " + value + " is read as " + KnownTypeName(wanted) + ", not " + KnownTypeName(type);
}

int Set(const std::string& key, const std::string& value, const std::string& typed, bool force) {
  RegChange c{RegChange::SetValue, key, value, 0, {}};
  std::string error;
  if (!ParseTypedData(typed, c.type, c.data, error)) return Fail(error);
  std::string mistake = Mistake(key, value, c.type);
  if (!mistake.empty() && !force) return Fail(mistake + "; --force writes it anyway");
  if (ApplyRegChanges({c}, error)) return Fail(RegError(ERROR_GEN_FAILURE, error));
  return 0;
}

int Delete(const std::string& key, const std::string* value) {
  std::u16string wk = Utf8ToWide(key.c_str());
  LONG err;
  if (value) {
    std::u16string wv = Utf8ToWide(value->c_str());
    RegKeyHolder h;
    err = RegOpenKeyExW(HKEY_LOCAL_MACHINE, wk.c_str(), 0, 0, h.Out());
    if (err != ERROR_SUCCESS) return Fail(RegError(err, "key not found: " + key));
    err = RegDeleteValueW(h, wv.c_str());
    h.Reset();
    if (err != ERROR_SUCCESS) return Fail(RegError(err, "value not found: " + key + " " + *value));
    return 0;
  }
  if (key.empty()) return Fail("refusing to delete HKEY_LOCAL_MACHINE itself");
  err = RegDeleteKeyW(HKEY_LOCAL_MACHINE, wk.c_str());
  if (err != ERROR_SUCCESS) return Fail(RegError(err, "key not found: " + key));
  return 0;
}

int Import(const std::string& file) {
  std::string text;
  if (!PlatformReadLinuxFile(file, &text)) return Fail("cannot read " + file);
  std::vector<RegChange> changes;
  std::string error;
  if (!ParseRegText(text, changes, error)) return Fail(file + ": " + error);
  if (ApplyRegChanges(changes, error)) return Fail(RegError(ERROR_GEN_FAILURE, error));
  return 0;
}

int Export(const std::string& key, const std::string* file) {
  FILE* out = stdout;
  std::string tmp;
  if (file) {
    tmp = *file + ".tmp";
    out = fopen(tmp.c_str(), "w");
    if (!out) return Fail("cannot write " + *file);
  }
  std::string error;
  long err = ExportRegKey(key, out, error);
  if (file) {
    bool ok = fclose(out) == 0 && err == 0;
    if (!ok || rename(tmp.c_str(), file->c_str()) != 0) {
      remove(tmp.c_str());
      return Fail(err ? RegError(static_cast<LONG>(err), error) : "cannot write " + *file);
    }
  }
  if (err) return Fail(RegError(static_cast<LONG>(err), error));
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  int done = ReadCommandToolOptions(argc, argv, "ferrox-reg", kUsage);
  if (done >= 0) return done;
  std::vector<std::string> args(argv + optind, argv + argc);
  if (args.empty()) return Fail("no command (see --help)");
  const std::string cmd = args[0];
  bool force = cmd == "set" && args.size() > 1 && args[1] == "--force";
  if (force) args.erase(args.begin() + 1);
  auto need = [&](size_t lo, size_t hi) { return args.size() >= lo + 1 && args.size() <= hi + 1; };
  std::string key;
  if (cmd == "import") {
    if (!need(1, 1)) return Fail("usage: import FILE.reg");
    return Import(args[1]);
  }
  if (cmd != "list" && cmd != "get" && cmd != "set" && cmd != "delete" && cmd != "export")
    return Fail("unknown command " + cmd + " (see --help)");
  if (args.size() < 2 || !KeyArg(args[1], key)) return Fail(args.size() < 2 ? "missing KEY" : "KEY must lie below HKEY_LOCAL_MACHINE");
  if ((cmd == "list" || cmd == "get" || cmd == "export") && RefuseMissingRoot("ferrox-reg")) return 1;
  if (cmd == "list") return need(1, 1) ? List(key) : Fail("usage: list KEY");
  if (cmd == "get") return need(2, 2) ? Get(key, args[2]) : Fail("usage: get KEY VALUE");
  if (cmd == "set") return need(3, 3) ? Set(key, args[2], args[3], force) : Fail("usage: set [--force] KEY VALUE TYPE:DATA");
  if (cmd == "delete") return need(1, 2) ? Delete(key, args.size() == 3 ? &args[2] : nullptr) : Fail("usage: delete KEY [VALUE]");
  return need(1, 2) ? Export(key, args.size() == 3 ? &args[2] : nullptr) : Fail("usage: export KEY [FILE.reg]");
}
