// The data root and the translation of platform paths into Linux paths under it.
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <mutex>
#include <sys/stat.h>
#include "platform/files.h"
#include "platform/registry.h"
#include "platform/wide.h"

namespace {

std::mutex g_rootLock;
std::string g_root;

std::string DefaultRoot() {
  if (const char* r = getenv("FERROX_ROOT"); r && *r) return r;
  if (const char* x = getenv("XDG_DATA_HOME"); x && *x) return std::string(x) + "/ferrox";
  const char* home = getenv("HOME");
  return std::string(home && *home ? home : "/tmp") + "/.local/share/ferrox";
}

char Lower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c + 32) : c; }

bool EqualNoCase(const char* a, const char* b) {
  for (; *a && *b; ++a, ++b)
    if (Lower(*a) != Lower(*b)) return false;
  return *a == *b;
}

// The spelling of `name` as it exists in `dir`, matched without regard to case.
std::string ExistingSpelling(const std::string& dir, const std::string& name) {
  struct stat st;
  if (stat((dir + "/" + name).c_str(), &st) == 0) return name;
  DIR* d = opendir(dir.c_str());
  if (!d) return name;
  std::string found = name;
  while (dirent* e = readdir(d)) {
    if (EqualNoCase(e->d_name, name.c_str())) {
      found = e->d_name;
      break;
    }
  }
  closedir(d);
  return found;
}

}  // namespace

const std::string& PlatformRoot() {
  std::lock_guard<std::mutex> lock(g_rootLock);
  if (g_root.empty()) g_root = DefaultRoot();
  return g_root;
}

void PlatformSetRoot(const std::string& root) {
  PlatformRegistryClose();
  std::lock_guard<std::mutex> lock(g_rootLock);
  g_root = root;
  while (g_root.size() > 1 && g_root.back() == '/') g_root.pop_back();
}

DWORD PlatformTranslatePath(const char* platformPath, std::string& linuxPath) {
  if (!platformPath || !*platformPath) return ERROR_INVALID_NAME;
  std::string out = PlatformRoot();
  const char* p = platformPath;
  while (*p) {
    while (*p == '\\' || *p == '/') ++p;
    if (!*p) break;
    const char* end = p;
    while (*end && *end != '\\' && *end != '/') ++end;
    std::string part(p, static_cast<size_t>(end - p));
    p = end;
    if (part == ".") continue;
    if (part == ".." || part.find(':') != std::string::npos) return ERROR_ACCESS_DENIED;
    std::string spelled = ExistingSpelling(out, part);
    out += '/';
    out += spelled;
  }
  linuxPath = out;
  return ERROR_SUCCESS;
}

DWORD PlatformTranslatePathW(LPCWSTR platformPath, std::string& linuxPath) {
  if (!platformPath) return ERROR_INVALID_NAME;
  return PlatformTranslatePath(WideToUtf8(platformPath).c_str(), linuxPath);
}

bool PlatformNameMatches(const char* pattern, const char* name) {
  // Iterative wildcard match with back-tracking to the last '*'.
  const char* starP = nullptr;
  const char* starN = nullptr;
  while (*name) {
    if (*pattern == '*') {
      starP = ++pattern;
      starN = name;
    } else if (*pattern == '?' || (*pattern && Lower(*pattern) == Lower(*name))) {
      ++pattern;
      ++name;
    } else if (starP) {
      pattern = starP;
      name = ++starN;
    } else {
      return false;
    }
  }
  while (*pattern == '*') ++pattern;
  return *pattern == '\0';
}
