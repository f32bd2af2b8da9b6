// One connection per handle: the first message makes the connection's handle (an open device, a
// service) or is a device manager call answered once; later messages are calls on the handle. The
// calls of one connection run side by side on a few worker threads, so a SetCommMask reaches the
// driver while another call of the same handle waits in it. A connection that closes closes its
// handle; one that sends anything malformed or unknown is closed with a log line.
#include "socket_server.h"
#include "accept_pause.h"
#include "client_threads.h"
#include <atomic>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <mutex>
#include <set>
#include <sys/socket.h>
#include <sys/time.h>
#include <poll.h>
#include <chrono>
#include <cerrno>
#include <sys/stat.h>
#include <sys/un.h>
#include <thread>
#include <unistd.h>
#include <vector>
#include "platform/device_protocol.h"
#include "platform/platform.h"
#include "support/log.h"

namespace {

// Calls of one handle that may wait at once (a wait, a read, and the calls that end them).
constexpr size_t kMaxWorkersPerConnection = 8;
// Requests read ahead of the workers: beyond them the connection's socket is not read, so a client
// that sends without reading its replies is held back instead of growing the host.
constexpr size_t kMaxQueuedPerConnection = 32;
// Connections served at once; one more is refused with a log line.
constexpr size_t kMaxConnections = 1024;
// How long one reply may wait for a client that does not read before the connection is ended.
constexpr int kReplySendSeconds = 10;

int g_listen = -1;
std::string g_path;
std::thread g_acceptor;
std::mutex g_lock;
std::set<int> g_clients;
std::atomic<int> g_running{0};
ClientThreads g_threads;  // joined at the stop: none is still inside a driver after it

struct Request {
  WireHeader h{};
  std::string payload;
};

struct Connection {
  int fd = -1;
  HANDLE handle = nullptr;   // the device or service handle the calls use
  HANDLE service = nullptr;  // what ActivateService or RegisterService gave this connection
  std::mutex sendLock;
  std::mutex lock;
  std::condition_variable work;
  std::condition_variable room;  // the reader waits on it while the queue is full
  std::deque<Request> queue;
  size_t idle = 0;
  bool ending = false;
  std::atomic<bool> dead{false};  // a reply could not be sent: the connection is being ended
  std::vector<std::thread> workers;
};

void Reply(Connection& c, const WireHeader& h, BOOL ok, DWORD value, const void* data = nullptr,
           uint32_t length = 0) {
  WireResult r{static_cast<uint32_t>(ok ? 1 : 0), GetLastError(), value};
  std::lock_guard<std::mutex> lock(c.sendLock);
  if (c.dead || WireSend(c.fd, h.op, h.id, &r, sizeof r, data, length)) return;
  // A client that left, or one that has not read its replies for the send time-out: its socket is
  // shut, which ends the reader's wait and every later reply at once.
  if (!c.dead.exchange(true)) {
    if (errno == EAGAIN || errno == EWOULDBLOCK)
      LogPrintf(LOG_CRLF | LOG_FLUSH, "Host socket: a client read no reply for %d s, connection closed", kReplySendSeconds);
    shutdown(c.fd, SHUT_RDWR);
  }
  std::lock_guard<std::mutex> queueLock(c.lock);
  c.room.notify_all();
}

// Calls of other processes inside a device now: what WIRE_CALLS_IN_FLIGHT answers.
std::atomic<int> g_callsInFlight{0};

uint32_t U32(const std::string& payload, size_t offset) {
  uint32_t v;
  memcpy(&v, payload.data() + offset, 4);
  return v;
}

HANDLE Valid(HANDLE h) { return h == INVALID_HANDLE_VALUE ? nullptr : h; }

// The first message. True when the connection goes on serving calls on its handle.
bool Begin(Connection& c, const Request& r) {
  SetLastError(0);
  const std::string& p = r.payload;
  switch (r.h.op) {
    case WIRE_OPEN: {
      WireOpen o;
      memcpy(&o, p.data(), sizeof o);
      std::u16string name = WireName(p, sizeof o);
      c.handle = Valid(CreateFileW(name.c_str(), o.access, o.share, nullptr, OPEN_EXISTING, 0, nullptr));
      Reply(c, r.h, c.handle != nullptr, 0);
      return c.handle != nullptr;
    }
    case WIRE_SERVICE_HANDLE:
      c.handle = Valid(GetServiceHandle(WireName(p, 0).c_str(), nullptr, nullptr));
      Reply(c, r.h, c.handle != nullptr, 0);
      return c.handle != nullptr;
    case WIRE_ACTIVATE_SERVICE:
      c.service = ActivateService(WireName(p, 4).c_str(), U32(p, 0));
      Reply(c, r.h, c.service != nullptr, 0);
      return c.service != nullptr;
    case WIRE_REGISTER_SERVICE: {
      WireRegisterService reg;
      memcpy(&reg, p.data(), sizeof reg);
      std::u16string prefix = WireName(p, sizeof reg);
      std::u16string dll = WireName(p, sizeof reg + (prefix.size() + 1) * 2);
      c.service = RegisterService(prefix.c_str(), reg.index, dll.c_str(), reg.context);
      Reply(c, r.h, c.service != nullptr, 0);
      return c.service != nullptr;
    }
    case WIRE_ACTIVATE_DEVICE: {
      HANDLE h = ActivateDeviceEx(WireName(p, 0).c_str(), nullptr, 0, nullptr);
      Reply(c, r.h, h != nullptr, static_cast<DWORD>(reinterpret_cast<uintptr_t>(h)));
      return false;
    }
    case WIRE_DEACTIVATE_DEVICE:
      Reply(c, r.h, DeactivateDevice(reinterpret_cast<HANDLE>(static_cast<uintptr_t>(U32(p, 0)))), 0);
      return false;
    case WIRE_CALLS_IN_FLIGHT:
      Reply(c, r.h, TRUE, static_cast<DWORD>(g_callsInFlight.load()));
      return false;
    default:
      LogPrintf(LOG_CRLF | LOG_FLUSH, "Host socket: request %u cannot begin a connection, closed", r.h.op);
      return false;
  }
}

// A call on the connection's handle.
void Perform(Connection& c, const Request& r) {
  struct InFlight {
    InFlight() { ++g_callsInFlight; }
    ~InFlight() { --g_callsInFlight; }
  } inFlight;
  SetLastError(0);
  const std::string& p = r.payload;
  std::string buffer;
  switch (r.h.op) {
    case WIRE_READ: {
      uint32_t count = U32(p, 0);
      buffer.resize(count);
      DWORD got = 0;
      BOOL ok = ReadFile(c.handle, buffer.data(), count, &got, nullptr);
      Reply(c, r.h, ok, got, buffer.data(), got < count ? got : count);
      return;
    }
    case WIRE_WRITE: {
      DWORD written = 0;
      BOOL ok = WriteFile(c.handle, p.data(), static_cast<DWORD>(p.size()), &written, nullptr);
      Reply(c, r.h, ok, written);
      return;
    }
    case WIRE_IOCTL: {
      WireIoctl io;
      memcpy(&io, p.data(), sizeof io);
      buffer.assign(io.outLength, '\0');
      DWORD actual = 0;
      DWORD inLength = static_cast<DWORD>(p.size() - sizeof io);
      BOOL ok = DeviceIoControl(c.handle, io.code, inLength ? const_cast<char*>(p.data()) + sizeof io : nullptr,
                                inLength, io.outLength ? buffer.data() : nullptr, io.outLength, &actual, nullptr);
      Reply(c, r.h, ok, actual, buffer.data(), actual < io.outLength ? actual : io.outLength);
      return;
    }
    case WIRE_DEREGISTER: {
      BOOL ok = DeregisterService(c.service ? c.service : c.handle);
      Reply(c, r.h, ok, 0);
      return;
    }
  }
}

// Checks what the payload's own fields announce, beyond its length.
bool CallAcceptable(const Connection& c, const Request& r) {
  switch (r.h.op) {
    case WIRE_READ: return c.handle && U32(r.payload, 0) <= kWireMaxPayload - sizeof(WireResult);
    case WIRE_IOCTL: return c.handle && U32(r.payload, 4) <= kWireMaxPayload - sizeof(WireResult);
    case WIRE_WRITE: return c.handle != nullptr;
    case WIRE_DEREGISTER: return true;
    default: return false;
  }
}

void Work(Connection* c) {
  std::unique_lock<std::mutex> lock(c->lock);
  for (;;) {
    while (c->queue.empty() && !c->ending) {
      ++c->idle;
      c->work.wait(lock);
      --c->idle;
    }
    if (c->queue.empty()) return;
    Request r = std::move(c->queue.front());
    c->queue.pop_front();
    c->room.notify_one();
    lock.unlock();
    Perform(*c, r);
    lock.lock();
  }
}

// Waits while the connection's queue is full; false when the connection ends meanwhile (a reply
// failed, or the client left while its calls still wait inside the device).
bool WaitForRoom(Connection& c, std::unique_lock<std::mutex>& lock) {
  auto roomy = [&] { return c.queue.size() < kMaxQueuedPerConnection || c.dead; };
  while (!c.room.wait_for(lock, std::chrono::seconds(1), roomy)) {
    pollfd p{c.fd, POLLRDHUP, 0};
    if (poll(&p, 1, 0) > 0 && (p.revents & (POLLRDHUP | POLLHUP | POLLERR))) return false;
  }
  return !c.dead;
}

void Serve(int fd) {
  Connection c;
  c.fd = fd;
  timeval limit{kReplySendSeconds, 0};
  setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit);
  Request r;
  bool serving = WireReceive(fd, &r.h, &r.payload);
  if (serving && !WireRequestValid(r.h.op, r.h.length)) {
    LogPrintf(LOG_CRLF | LOG_FLUSH, "Host socket: request %u of %u bytes refused, connection closed", r.h.op, r.h.length);
    serving = false;
  }
  serving = serving && Begin(c, r);
  while (serving) {
    Request next;
    if (!WireReceive(fd, &next.h, &next.payload)) break;  // the client closed its handle or left
    if (!WireRequestValid(next.h.op, next.h.length) || !CallAcceptable(c, next)) {
      LogPrintf(LOG_CRLF | LOG_FLUSH, "Host socket: request %u of %u bytes refused, connection closed", next.h.op,
                next.h.length);
      break;
    }
    std::unique_lock<std::mutex> lock(c.lock);
    if (!WaitForRoom(c, lock)) break;
    c.queue.push_back(std::move(next));
    if (c.idle == 0 && c.workers.size() < kMaxWorkersPerConnection) c.workers.emplace_back(Work, &c);
    else c.work.notify_one();
  }
  // Closing the handle ends the calls still inside the device; then the workers finish.
  if (c.handle) CloseHandle(c.handle);
  {
    std::lock_guard<std::mutex> lock(c.lock);
    c.ending = true;
    c.work.notify_all();
  }
  for (auto& t : c.workers) t.join();
  {
    std::lock_guard<std::mutex> lock(g_lock);
    g_clients.erase(fd);
  }
  close(fd);
}

}  // namespace

void ServeConnection(int fd) { Serve(fd); }

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
  if (chmod(path.c_str(), mode) != 0) {
    *error = "cannot set the mode of " + path + ": " + strerror(errno);
    close(g_listen);
    g_listen = -1;
    return false;
  }
  g_path = path;
  g_running = 1;
  g_acceptor = std::thread([] {
    for (;;) {
      int fd = accept4(g_listen, nullptr, nullptr, SOCK_CLOEXEC);
      if (fd < 0) {
        if (!g_running) return;
        static std::atomic<bool> said{false};
        if (PausedForDescriptors("Host socket", &said)) continue;
        if (errno == EINTR || errno == ECONNABORTED) continue;
        return;
      }
      {
        std::lock_guard<std::mutex> lock(g_lock);
        if (g_clients.size() >= kMaxConnections) {
          LogPrintf(LOG_CRLF | LOG_FLUSH, "Host socket: %u connections already, one more refused",
                    static_cast<unsigned>(kMaxConnections));
          close(fd);
          continue;
        }
        g_clients.insert(fd);
      }
      g_threads.Start([fd] { Serve(fd); });
    }
  });
  return true;
}

void StopSocketServer() {
  if (g_listen < 0) return;
  g_running = 0;
  if (shutdown(g_listen, SHUT_RDWR) != 0)  // what ends the acceptor's accept
    LogPrintf(LOG_CRLF, "Host socket shutdown: %s", strerror(errno));
  if (g_acceptor.joinable()) g_acceptor.join();
  close(g_listen);
  g_listen = -1;
  {
    std::lock_guard<std::mutex> lock(g_lock);
    for (int fd : g_clients) shutdown(fd, SHUT_RDWR);  // their threads close the handles
  }
  g_threads.JoinAll();
  if (unlink(g_path.c_str()) != 0 && errno != ENOENT)
    LogPrintf(LOG_CRLF, "Cannot remove the socket %s: %s", g_path.c_str(), strerror(errno));
}
