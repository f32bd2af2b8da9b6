// Framing and checking of the host socket's messages.
#include <cerrno>
#include <cstring>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>
#include "platform/device_protocol.h"
#include "platform/files.h"
#include "wire_connect.h"

namespace {

bool All(int fd, void* buf, size_t n, bool reading) {
  char* p = static_cast<char*>(buf);
  while (n) {
    ssize_t r = reading ? recv(fd, p, n, 0) : send(fd, p, n, MSG_NOSIGNAL);
    if (r < 0 && errno == EINTR) continue;
    if (r <= 0) return false;
    p += r;
    n -= static_cast<size_t>(r);
  }
  return true;
}

bool NameLength(uint32_t bytes) { return bytes >= 2 && bytes % 2 == 0 && bytes <= kWireMaxName * 2; }

}  // namespace

std::string PlatformHostSocketPath() { return PlatformRoot() + "/" + kHostSocketName; }

bool WireSend(int fd, uint32_t op, uint32_t id, const void* a, uint32_t aLength, const void* b, uint32_t bLength) {
  if (static_cast<uint64_t>(aLength) + bLength > kWireMaxPayload) return false;
  WireHeader h{op, id, aLength + bLength};
  std::string message(reinterpret_cast<const char*>(&h), sizeof h);
  if (aLength) message.append(static_cast<const char*>(a), aLength);
  if (bLength) message.append(static_cast<const char*>(b), bLength);
  return All(fd, message.data(), message.size(), false);
}

bool WireReceive(int fd, WireHeader* header, std::string* payload) {
  if (!All(fd, header, sizeof *header, true) || header->length > kWireMaxPayload) return false;
  payload->assign(header->length, '\0');
  return header->length == 0 || All(fd, payload->data(), header->length, true);
}

bool WireRequestValid(uint32_t op, uint32_t length) {
  switch (op) {
    case WIRE_OPEN: return length >= sizeof(WireOpen) && NameLength(length - sizeof(WireOpen));
    case WIRE_SERVICE_HANDLE:
    case WIRE_ACTIVATE_DEVICE: return NameLength(length);
    case WIRE_ACTIVATE_SERVICE: return length >= 4 && NameLength(length - 4);
    case WIRE_REGISTER_SERVICE:
      return length >= sizeof(WireRegisterService) && NameLength(length - sizeof(WireRegisterService));
    case WIRE_DEACTIVATE_DEVICE: return length == 4;
    case WIRE_CALLS_IN_FLIGHT: return length == 0;
    case WIRE_READ: return length == 4;
    case WIRE_WRITE: return true;
    case WIRE_IOCTL: return length >= sizeof(WireIoctl);
    case WIRE_DEREGISTER: return length == 0;
    default: return false;
  }
}

std::u16string WireName(const std::string& payload, size_t offset) {
  std::u16string name;
  for (size_t i = offset; i + 1 < payload.size(); i += 2) {
    char16_t c;
    memcpy(&c, payload.data() + i, 2);
    if (c == 0) break;
    name.push_back(c);
  }
  return name;
}

bool PlatformHostRunning() {
  int fd = WireConnect();
  if (fd >= 0) close(fd);
  return fd >= 0;
}

int WireConnect() {
  std::string path = PlatformHostSocketPath();
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  if (path.size() >= sizeof addr.sun_path) return -1;
  memcpy(addr.sun_path, path.c_str(), path.size() + 1);
  int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  if (connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
    close(fd);
    return -1;
  }
  return fd;
}
