// Internal: the serial port object behind a COMn: handle.
#pragma once
#include <atomic>
#include <mutex>
#include "handles.h"
#include "platform/serial.h"

namespace platform {

struct SerialPort : KObject {
  int fd = -1;
  int wakeFd = -1;
  std::atomic<DWORD> mask{0};
  std::atomic<unsigned> generation{0};
  std::atomic<bool> abortPending{false};  // PurgeComm's abort not yet seen by a wait
  std::atomic<int> waiters{0};            // threads inside WaitInput: only they need the wake-up
  std::mutex mu;
  COMMTIMEOUTS timeouts{};
  DCB dcb{};
  ~SerialPort() override;
  void Abort();
  int WaitInput(unsigned gen, int64_t timeoutUs);
  BOOL Read(void* buf, DWORD n, DWORD* got) override;
  BOOL Write(const void* buf, DWORD n, DWORD* written) override;
};

}  // namespace platform

HANDLE PlatformOpenSerialPort(LPCWSTR name);
