// The process's kernel handle table. Every handle names a shared object; waitable objects are
// tested and consumed under the one kernel lock, and every state change wakes all waiters.
#pragma once
#include <condition_variable>
#include <memory>
#include <mutex>
#include "platform/types.h"

namespace platform {

struct KObject {
  virtual ~KObject() = default;
  // Waitable objects answer whether they are signalled (called under the kernel lock).
  virtual bool Waitable() const { return false; }
  virtual bool Signalled() const { return false; }
  // Called under the kernel lock when a wait was satisfied by this object (auto-reset events).
  virtual void Consume() {}
  // Streams (files, devices) implement these; the default refuses.
  virtual BOOL Read(void*, DWORD, DWORD* read) { *read = 0; return Fail(ERROR_INVALID_HANDLE); }
  virtual BOOL Write(const void*, DWORD, DWORD* written) { *written = 0; return Fail(ERROR_INVALID_HANDLE); }
  // Devices (local or in the host process) answer I/O controls.
  virtual bool IsDevice() const { return false; }
  virtual BOOL IoControl(DWORD, const void*, DWORD, void*, DWORD, DWORD* actual) {
    *actual = 0;
    return Fail(ERROR_NOT_SUPPORTED);
  }
  // Called once by CloseHandle when the handle leaves the table, while calls of other threads may
  // still hold the object: a blocking object wakes them here.
  virtual void Closing() {}
  static BOOL Fail(DWORD error);
};


HANDLE AddHandle(std::shared_ptr<KObject> object);
std::shared_ptr<KObject> FindHandle(HANDLE h);
template <typename T>
std::shared_ptr<T> FindHandleAs(HANDLE h) {
  return std::dynamic_pointer_cast<T>(FindHandle(h));
}

}  // namespace platform
