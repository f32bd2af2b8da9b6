// Owners of what must be closed, for code that opens and closes in one scope: a registry key and
// a file descriptor, each closed when its holder goes out of scope (early returns included).
#pragma once
#include <unistd.h>
#include "platform/registry.h"

class RegKeyHolder {
 public:
  RegKeyHolder() = default;
  ~RegKeyHolder() { Reset(); }
  RegKeyHolder(const RegKeyHolder&) = delete;
  RegKeyHolder& operator=(const RegKeyHolder&) = delete;
  // Where an open call puts the key (a key held before is closed first).
  HKEY* Out() {
    Reset();
    return &key_;
  }
  operator HKEY() const { return key_; }
  void Reset() {
    if (key_) RegCloseKey(key_);
    key_ = nullptr;
  }

 private:
  HKEY key_ = nullptr;
};

class FdHolder {
 public:
  explicit FdHolder(int fd = -1) : fd_(fd) {}
  ~FdHolder() { Reset(); }
  FdHolder(const FdHolder&) = delete;
  FdHolder& operator=(const FdHolder&) = delete;
  int Get() const { return fd_; }
  // Gives the descriptor up: the holder closes nothing.
  int Release() {
    int fd = fd_;
    fd_ = -1;
    return fd;
  }
  void Reset(int fd = -1) {
    if (fd_ >= 0) close(fd_);
    fd_ = fd;
  }

 private:
  int fd_;
};
