#include "channel_pump.h"
#include <cerrno>
#include <sys/socket.h>
#include <unistd.h>

HANDLE OpenChannel(const std::u16string& device) {
  if (device.empty()) return nullptr;
  HANDLE h = CreateFileW(device.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                         OPEN_EXISTING, 0, nullptr);
  return h == INVALID_HANDLE_VALUE ? nullptr : h;
}

bool NextBatch(HANDLE channel, std::string* out) {
  out->resize(kBatchBytes);  // read in place: the batch is not copied through a buffer of its own
  DWORD got = 0;
  BOOL ok = ReadFile(channel, out->data(), kBatchBytes, &got, nullptr);
  out->resize(ok ? got : 0);
  return ok;
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

namespace {

// Writes what it can; -1 on an error other than a full buffer.
ssize_t WriteSome(int fd, const std::string& text) {
  ssize_t n = send(fd, text.data(), text.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
  if (n < 0 && errno == ENOTSOCK) n = write(fd, text.data(), text.size());  // a terminal
  if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) return 0;
  return n;
}

}  // namespace

bool OfferBatch(int fd, std::string* pending, const std::string& batch) {
  if (!pending->empty()) {
    ssize_t n = WriteSome(fd, *pending);
    if (n < 0) return false;
    pending->erase(0, static_cast<size_t>(n));
    if (!pending->empty()) return true;  // still busy with the last one: this one is dropped
  }
  ssize_t n = WriteSome(fd, batch);
  if (n < 0) return false;
  if (static_cast<size_t>(n) < batch.size()) pending->assign(batch, static_cast<size_t>(n), std::string::npos);
  return true;
}
