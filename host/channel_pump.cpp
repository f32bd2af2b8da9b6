#include "channel_pump.h"
#include <cerrno>
#include <unistd.h>

HANDLE OpenChannel(const std::u16string& device) {
  HANDLE h = CreateFileW(device.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                         OPEN_EXISTING, 0, nullptr);
  return h == INVALID_HANDLE_VALUE ? nullptr : h;
}

bool NextBatch(HANDLE channel, std::string* out) {
  char buffer[2048];
  DWORD got = 0;
  if (!ReadFile(channel, buffer, sizeof buffer, &got, nullptr)) return false;
  out->assign(buffer, got);
  return true;
}

bool DrainWrites(int fd, HANDLE channel, bool allowWrites) {
  char buffer[1024];
  for (;;) {
    ssize_t n = read(fd, buffer, sizeof buffer);
    if (n > 0) {
      DWORD written;
      if (allowWrites && channel) WriteFile(channel, buffer, static_cast<DWORD>(n), &written, nullptr);
      continue;
    }
    if (n == 0) return false;
    return errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR || errno == EIO;
  }
}
