// Devices of the host process, used from this one: each handle is one connection to the host's
// socket, and each call one request and its reply.
#include <atomic>
#include <cerrno>
#include <cstring>
#include <mutex>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>
#include "handles.h"
#include "platform/device_protocol.h"
#include "platform/devices.h"
#include "platform/files.h"
#include "platform/kernel.h"
#include "platform/wide.h"

using namespace platform;

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

struct RemoteDevice : KObject {
  int fd = -1;
  std::mutex mu;  // one request at a time on the connection
  ~RemoteDevice() override {
    if (fd >= 0) close(fd);
  }
  // Sends a request and reads its reply; false when the host went away.
  bool Call(uint32_t op, const void* a, uint32_t aLength, const void* b, uint32_t bLength, WireResult* result,
            std::string* data) {
    WireHeader h;
    std::string payload;
    if (!WireSend(fd, op, a, aLength, b, bLength) || !WireReceive(fd, &h, &payload) || h.op != op ||
        payload.size() < sizeof(WireResult))
      return false;
    memcpy(result, payload.data(), sizeof *result);
    if (data) *data = payload.substr(sizeof *result);
    SetLastError(result->lastError);
    return true;
  }
  BOOL Read(void* buf, DWORD n, DWORD* got) override {
    std::lock_guard<std::mutex> lock(mu);
    *got = 0;
    uint32_t count = n > kWireMaxPayload - sizeof(WireResult) ? kWireMaxPayload - sizeof(WireResult) : n;
    WireResult r;
    std::string data;
    if (!Call(WIRE_READ, &count, 4, nullptr, 0, &r, &data)) return Fail(ERROR_GEN_FAILURE);
    size_t copy = data.size() < n ? data.size() : n;
    memcpy(buf, data.data(), copy);
    *got = static_cast<DWORD>(copy);
    return r.ok;
  }
  BOOL Write(const void* buf, DWORD n, DWORD* written) override {
    std::lock_guard<std::mutex> lock(mu);
    *written = 0;
    if (n > kWireMaxPayload) return Fail(ERROR_INVALID_PARAMETER);
    WireResult r;
    if (!Call(WIRE_WRITE, buf, n, nullptr, 0, &r, nullptr)) return Fail(ERROR_GEN_FAILURE);
    *written = r.value;
    return r.ok;
  }
  bool IsDevice() const override { return true; }
  BOOL IoControl(DWORD code, const void* in, DWORD inLength, void* out, DWORD outLength, DWORD* actual) override {
    std::lock_guard<std::mutex> lock(mu);
    *actual = 0;
    if (inLength > kWireMaxPayload - sizeof(WireIoctl) || outLength > kWireMaxPayload - sizeof(WireResult))
      return Fail(ERROR_INVALID_PARAMETER);
    WireIoctl io{code, out ? outLength : 0};
    WireResult r;
    std::string data;
    if (!Call(WIRE_IOCTL, &io, sizeof io, in, in ? inLength : 0, &r, &data)) return Fail(ERROR_GEN_FAILURE);
    if (out) memcpy(out, data.data(), data.size() < outLength ? data.size() : outLength);
    *actual = r.value;
    return r.ok;
  }
};

}  // namespace

static std::atomic<bool> g_hostProcess{false};
void PlatformSetHostProcess(bool host) { g_hostProcess = host; }

std::string PlatformHostSocketPath() { return PlatformRoot() + "/" + kHostSocketName; }

bool WireSend(int fd, uint32_t op, const void* a, uint32_t aLength, const void* b, uint32_t bLength) {
  if (static_cast<uint64_t>(aLength) + bLength > kWireMaxPayload) return false;
  WireHeader h{op, aLength + bLength};
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

HANDLE PlatformOpenRemoteDevice(LPCWSTR name, DWORD access, DWORD share) {
  if (g_hostProcess) {  // a device the host does not have exists nowhere
    SetLastError(ERROR_FILE_NOT_FOUND);
    return INVALID_HANDLE_VALUE;
  }
  std::string path = PlatformHostSocketPath();
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  if (path.size() >= sizeof addr.sun_path) {
    SetLastError(ERROR_FILE_NOT_FOUND);
    return INVALID_HANDLE_VALUE;
  }
  memcpy(addr.sun_path, path.c_str(), path.size() + 1);
  int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0 || connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
    if (fd >= 0) close(fd);
    SetLastError(ERROR_FILE_NOT_FOUND);  // no host: no such device
    return INVALID_HANDLE_VALUE;
  }
  auto device = std::make_shared<RemoteDevice>();
  device->fd = fd;
  WireOpen open{access, share};
  WireResult r{};
  if (!device->Call(WIRE_OPEN, &open, sizeof open, name, static_cast<uint32_t>(WideLen(name) * 2), &r, nullptr) ||
      !r.ok) {
    if (r.lastError == 0) SetLastError(ERROR_FILE_NOT_FOUND);
    return INVALID_HANDLE_VALUE;
  }
  return AddHandle(device);
}
