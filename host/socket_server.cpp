// One connection per handle: the first message opens the device, later ones use it, and a
// connection that closes (or sends anything malformed) closes its handle.
#include "socket_server.h"
#include <atomic>
#include <cstring>
#include <mutex>
#include <set>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <thread>
#include <unistd.h>
#include "platform/device_protocol.h"
#include "platform/platform.h"
#include "support/log.h"

namespace {

int g_listen = -1;
std::string g_path;
std::thread g_acceptor;
std::mutex g_lock;
std::set<int> g_clients;
std::atomic<int> g_running{0};

bool Reply(int fd, uint32_t op, BOOL ok, DWORD value, const void* data = nullptr, uint32_t length = 0) {
  WireResult r{static_cast<uint32_t>(ok ? 1 : 0), GetLastError(), value};
  return WireSend(fd, op, &r, sizeof r, data, length);
}

void Serve(int fd) {
  HANDLE device = nullptr;
  WireHeader h;
  std::string payload;
  std::string buffer;
  while (WireReceive(fd, &h, &payload)) {
    SetLastError(0);
    if (!device) {
      if (h.op != WIRE_OPEN || payload.size() < sizeof(WireOpen) || (payload.size() - sizeof(WireOpen)) % 2 ||
          payload.size() - sizeof(WireOpen) > 64)
        break;
      WireOpen o;
      memcpy(&o, payload.data(), sizeof o);
      std::u16string name((payload.size() - sizeof o) / 2, u'\0');
      memcpy(name.data(), payload.data() + sizeof o, name.size() * 2);
      HANDLE opened = CreateFileW(name.c_str(), o.access, o.share, nullptr, OPEN_EXISTING, 0, nullptr);
      bool ok = opened && opened != INVALID_HANDLE_VALUE;
      if (!Reply(fd, WIRE_OPEN, ok, 0) || !ok) break;
      device = opened;
      continue;
    }
    bool sent = false;
    if (h.op == WIRE_READ && payload.size() == 4) {
      uint32_t count;
      memcpy(&count, payload.data(), 4);
      if (count > kWireMaxPayload - sizeof(WireResult)) break;
      buffer.resize(count);
      DWORD got = 0;
      BOOL ok = ReadFile(device, buffer.data(), count, &got, nullptr);
      sent = Reply(fd, WIRE_READ, ok, got, buffer.data(), got);
    } else if (h.op == WIRE_WRITE) {
      DWORD written = 0;
      BOOL ok = WriteFile(device, payload.data(), static_cast<DWORD>(payload.size()), &written, nullptr);
      sent = Reply(fd, WIRE_WRITE, ok, written);
    } else if (h.op == WIRE_IOCTL && payload.size() >= sizeof(WireIoctl)) {
      WireIoctl io;
      memcpy(&io, payload.data(), sizeof io);
      if (io.outLength > kWireMaxPayload - sizeof(WireResult)) break;
      buffer.assign(io.outLength, '\0');
      DWORD actual = 0;
      DWORD inLength = static_cast<DWORD>(payload.size() - sizeof io);
      BOOL ok = DeviceIoControl(device, io.code, inLength ? payload.data() + sizeof io : nullptr, inLength,
                                io.outLength ? buffer.data() : nullptr, io.outLength, &actual, nullptr);
      sent = Reply(fd, WIRE_IOCTL, ok, actual, buffer.data(), actual < io.outLength ? actual : io.outLength);
    }
    if (!sent) break;  // a malformed request, or the client is gone
  }
  if (device) CloseHandle(device);
  {
    std::lock_guard<std::mutex> lock(g_lock);
    g_clients.erase(fd);
  }
  close(fd);
}

}  // namespace

bool StartSocketServer(const std::string& path, unsigned mode, std::string* error) {
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  if (path.size() >= sizeof addr.sun_path) {
    *error = "socket path too long: " + path;
    return false;
  }
  memcpy(addr.sun_path, path.c_str(), path.size() + 1);
  unlink(path.c_str());  // left by a host that did not stop in order
  g_listen = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  mode_t old = umask(0777 & ~mode);
  bool ok = g_listen >= 0 && bind(g_listen, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0 &&
            listen(g_listen, 64) == 0;
  umask(old);
  if (!ok) {
    *error = "cannot listen on " + path + ": " + strerror(errno);
    if (g_listen >= 0) close(g_listen);
    g_listen = -1;
    return false;
  }
  chmod(path.c_str(), mode);
  g_path = path;
  g_running = 1;
  g_acceptor = std::thread([] {
    for (;;) {
      int fd = accept4(g_listen, nullptr, nullptr, SOCK_CLOEXEC);
      if (fd < 0) {
        if (!g_running) return;
        if (errno == EINTR || errno == ECONNABORTED || errno == EMFILE) continue;
        return;
      }
      {
        std::lock_guard<std::mutex> lock(g_lock);
        g_clients.insert(fd);
      }
      std::thread(Serve, fd).detach();
    }
  });
  return true;
}

void StopSocketServer() {
  if (g_listen < 0) return;
  g_running = 0;
  shutdown(g_listen, SHUT_RDWR);
  if (g_acceptor.joinable()) g_acceptor.join();
  close(g_listen);
  g_listen = -1;
  {
    std::lock_guard<std::mutex> lock(g_lock);
    for (int fd : g_clients) shutdown(fd, SHUT_RDWR);  // their threads close the handles
  }
  for (int i = 0; i < 300; ++i) {
    {
      std::lock_guard<std::mutex> lock(g_lock);
      if (g_clients.empty()) break;
    }
    usleep(10000);
  }
  unlink(g_path.c_str());
}
