// Datagrams to a Unix socket: a socket of its own per process, opened on the first send and
// kept, so that a sample per fix costs one system call.
#include "platform/datagram.h"
#include <sys/socket.h>
#include <sys/un.h>
#include <cerrno>
#include <cstring>
#include <mutex>
#include "platform/kernel.h"

namespace {
std::mutex g_lock;
int g_fd = -1;
}  // namespace

int PlatformSendDatagram(const char* path, const void* data, DWORD size) {
  sockaddr_un a{};
  a.sun_family = AF_UNIX;
  if (!path || !data || strlen(path) >= sizeof a.sun_path) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  memcpy(a.sun_path, path, strlen(path) + 1);
  std::lock_guard<std::mutex> guard(g_lock);
  if (g_fd < 0) g_fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (g_fd < 0) {
    SetLastError(ERROR_NOT_READY);
    return 0;
  }
  if (sendto(g_fd, data, size, MSG_NOSIGNAL, reinterpret_cast<sockaddr*>(&a), sizeof a) == static_cast<ssize_t>(size))
    return 1;
  SetLastError(errno == ENOENT ? ERROR_PATH_NOT_FOUND : ERROR_NOT_READY);
  return 0;
}
