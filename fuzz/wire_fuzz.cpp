// Fuzzing the host socket's requests: arbitrary bytes from a client, parsed and dispatched by the
// connection server against a small device of this process ("FUZ1:"), whose replies are read and
// dropped; every reply must be a whole, well-framed message.
#include <sys/socket.h>
#include <unistd.h>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include "../host/socket_server.h"
#include "platform/device_protocol.h"
#include "platform/platform.h"

namespace {

DWORD FuzInit(LPCWSTR, const void*) { return 1; }
BOOL FuzDeinit(DWORD) { return TRUE; }
DWORD FuzOpen(DWORD, DWORD, DWORD) { return 2; }
BOOL FuzClose(DWORD) { return TRUE; }
DWORD FuzRead(DWORD, LPVOID buffer, DWORD count) {
  DWORD n = count < 16 ? count : 16;
  memset(buffer, 'r', n);
  return n;
}
DWORD FuzWrite(DWORD, const void*, DWORD count) { return count; }
DWORD FuzSeek(DWORD, LONG, WORD) { return 0; }
BOOL FuzIoControl(DWORD, DWORD code, BYTE*, DWORD, BYTE* out, DWORD outLength, DWORD* actual) {
  DWORD n = outLength < 8 ? outLength : 8;
  if (out) memset(out, 'c', n);
  if (actual) *actual = out ? n : 0;
  return code % 3 != 0;
}
void FuzPower(DWORD) {}

// A private data root with no modules to load, and the device, made once.
void SetUpOnce() {
  static bool done = [] {
    char root[] = "/tmp/ferrox-wire-fuzz-XXXXXX";
    if (!mkdtemp(root)) abort();
    setenv("FERROX_ROOT", root, 1);
    setenv("FERROX_MODULE_DIR", root, 1);
    PlatformSetRoot(root);
    static const StreamEntryPoints entries = {FuzInit, FuzDeinit, FuzOpen, FuzClose, FuzRead,
                                              FuzWrite, FuzSeek, FuzIoControl, FuzPower, FuzPower};
    if (!PlatformRegisterDevice(u"FUZ", 1, &entries, 1, FALSE)) abort();
    return true;
  }();
  (void)done;
}

// Reads every reply until the server closes; aborts on a message that is not whole.
void DrainReplies(int fd) {
  std::string all;
  char buf[65536];
  for (ssize_t n; (n = read(fd, buf, sizeof buf)) > 0;) all.append(buf, static_cast<size_t>(n));
  size_t at = 0;
  while (at + sizeof(WireHeader) <= all.size()) {
    WireHeader h;
    memcpy(&h, all.data() + at, sizeof h);
    if (h.length > kWireMaxPayload || h.length < sizeof(WireResult)) abort();
    at += sizeof h + h.length;
  }
  if (at != all.size()) abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  SetUpOnce();
  int pair[2];
  if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair) != 0) abort();
  std::thread replies(DrainReplies, pair[0]);
  // The client's bytes, then its end of writing: the server sees the close after the last request.
  for (size_t done = 0; done < size;) {
    ssize_t n = write(pair[0], data + done, size - done);
    if (n <= 0) break;
    done += static_cast<size_t>(n);
  }
  shutdown(pair[0], SHUT_WR);
  ServeConnection(pair[1]);  // closes its end
  replies.join();
  close(pair[0]);
  return 0;
}
