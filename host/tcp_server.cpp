#include "tcp_server.h"
#include "platform/holders.h"
#include "accept_pause.h"
#include <arpa/inet.h>
#include <netdb.h>
#include <atomic>
#include <chrono>
#include <cerrno>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <thread>
#include <vector>
#include <unistd.h>
#include "channel_pump.h"
#include "device_manager.h"
#include "host_settings.h"
#include "platform/platform.h"
#include "support/log.h"

namespace {

constexpr int kMaxClients = 256;
constexpr int kLingerMs = 1000, kOpenAttempts = 20, kOpenRetryMs = 100, kSlotWaitMs = 3000;

struct Client {
  std::atomic<int> fd{-1};  // -1: a free slot; set by the acceptor, read by the pump without the lock
  std::string pending;      // the pump's alone while the slot is taken
};

// The listening sockets (TCP, and the Unix socket NmeaSocket) and their acceptors: one client table.
std::vector<int> g_listeners;
std::vector<std::thread> g_acceptors;
std::string g_unixPath;  // removed at the stop
std::thread g_pump;
std::atomic<bool> g_stop{false};
std::mutex g_lock;  // the table's slots and their count
std::condition_variable g_arrived, g_freed;
Client g_clients[kMaxClients];
int g_count = 0;

// The count where `frxd --status` reads it (written on each change, never under g_lock).
void PublishCount(int count) {
  RegKeyHolder key;
  if (RegCreateKeyExW(HKEY_LOCAL_MACHINE, HOST_KEY u"\\Status", 0, nullptr, 0, 0, nullptr, key.Out(), nullptr) != ERROR_SUCCESS)
    return;
  DWORD value = static_cast<DWORD>(count);
  RegSetValueExW(key, u"Clients", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value), sizeof value);
}

// Slots are taken and freed under g_lock; the pump uses the clients' sockets outside it, so a
// slot is freed only by the pump.
void Free(Client& c) {
  close(c.fd);
  int count;
  {
    std::lock_guard<std::mutex> lock(g_lock);
    c.fd = -1;
    std::string().swap(c.pending);  // a slow client's rest goes with it
    count = --g_count;
    g_freed.notify_one();
  }
  PublishCount(count);
}

int ClientCount() {
  std::lock_guard<std::mutex> lock(g_lock);
  return g_count;
}

// Until a client is connected; false when the server stops instead.
bool WaitForClients() {
  std::unique_lock<std::mutex> lock(g_lock);
  g_arrived.wait(lock, [] { return g_count > 0 || g_stop; });
  return !g_stop;
}

// True when a client is connected within `ms` real milliseconds (and the server runs on).
bool ClientWithin(int ms) {
  std::unique_lock<std::mutex> lock(g_lock);
  return g_arrived.wait_for(lock, std::chrono::milliseconds(ms), [] { return g_count > 0 || g_stop; }) && !g_stop;
}

// The driver's channel, tried for a while: a channel closed a moment ago may still be on its way out.
HANDLE OpenSharedChannel(const std::u16string& driverKey) {
  for (int attempt = 0; attempt < kOpenAttempts && !g_stop; ++attempt) {
    HANDLE channel = OpenChannel(DeviceNameOf(driverKey.c_str()));  // the index may change with a re-registration
    if (channel) return channel;
    std::this_thread::sleep_for(std::chrono::milliseconds(kOpenRetryMs));
  }
  return nullptr;
}

void DropAll(const char* why) {
  if (why) LogLine(LOG_CRLF, why);
  for (Client& c : g_clients)
    if (c.fd >= 0) Free(c);
}

// Takes what the clients wrote and lets go of those that closed: one look at all of them, then
// reads only where there is something.
void DrainClients(HANDLE channel, bool allowWrites) {
  pollfd looks[kMaxClients];
  int slots[kMaxClients];
  nfds_t n = 0;
  for (int i = 0; i < kMaxClients; ++i) {
    int fd = g_clients[i].fd;
    if (fd < 0) continue;
    looks[n] = {fd, POLLIN, 0};
    slots[n++] = i;
  }
  if (n == 0 || poll(looks, n, 0) <= 0) return;
  for (nfds_t j = 0; j < n; ++j)
    if (looks[j].revents && !DrainWrites(looks[j].fd, channel, allowWrites)) Free(g_clients[slots[j]]);
}

// One channel for every client: opened when the first comes, closed when the last has gone; a
// batch is read once and offered to each. A client slower than the fixes loses whole batches.
void Pump(std::u16string driverKey, bool allowWrites) {
  HANDLE channel = nullptr;
  std::string batch;
  batch.reserve(kBatchBytes);
  for (;;) {
    // The last client has gone: unless another comes soon, the channel goes and the driver may sleep.
    if (channel && ClientCount() == 0 && !ClientWithin(kLingerMs)) {
      CloseHandle(channel);
      channel = nullptr;
    }
    if (!WaitForClients()) break;
    if (!channel) {
      channel = OpenSharedChannel(driverKey);
      if (!channel) {
        DropAll("NMEA client refused: no free channel");
        continue;
      }
    }
    DrainClients(channel, allowWrites);
    if (ClientCount() == 0) continue;
    if (!NextBatch(channel, &batch)) {  // the driver went away: open afresh by its key
      CloseHandle(channel);
      channel = nullptr;
      continue;
    }
    if (batch.empty()) continue;
    for (Client& c : g_clients)
      if (c.fd >= 0 && !OfferBatch(c.fd, &c.pending, batch)) Free(c);
  }
  if (channel) CloseHandle(channel);
  DropAll(nullptr);
}

// A full table may hold clients that have gone but are not yet let go (the pump does that at
// its next batch): a newcomer waits for a slot a while before it is refused.
void Accept(int fd) {
  {
    std::unique_lock<std::mutex> lock(g_lock);
    g_freed.wait_for(lock, std::chrono::milliseconds(kSlotWaitMs), [] { return g_count < kMaxClients || g_stop; });
    for (Client& c : g_clients)
      if (c.fd < 0) {
        c.fd = fd;  // its unsent rest is allocated only if it ever falls behind
        int count = ++g_count;
        g_arrived.notify_one();
        lock.unlock();
        PublishCount(count);
        return;
      }
  }
  LogPrintf(LOG_CRLF, "NMEA client refused: %d clients are connected", kMaxClients);
  close(fd);
}

// The pump runs once for all listeners.
void StartServing(const std::u16string& driverKey, bool allowWrites) {
  if (g_pump.joinable()) return;
  PublishCount(0);  // not the last run's
  g_stop = false;
  g_pump = std::thread(Pump, driverKey, allowWrites);
}

void AddListener(int fd, std::string what) {
  g_listeners.push_back(fd);
  g_acceptors.emplace_back([fd, what] {
    std::atomic<bool> said{false};
    for (;;) {
      int client = accept4(fd, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
      if (client < 0) {
        if (g_stop) return;
        if (PausedForDescriptors(what.c_str(), &said)) continue;
        if (errno == EINTR || errno == ECONNABORTED) continue;
        return;
      }
      Accept(client);
    }
  });
}

}  // namespace

bool StartTcpServer(const std::string& address, unsigned port, const std::u16string& driverKey, bool allowWrites,
                    std::string* error) {
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(static_cast<uint16_t>(port));
  bool named = inet_pton(AF_INET, address.c_str(), &addr.sin_addr) == 1;
  if (!named) {  // a host name ("localhost"): its first IPv4 address
    addrinfo hints{}, *found = nullptr;
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    if (getaddrinfo(address.c_str(), nullptr, &hints, &found) == 0 && found) {
      addr.sin_addr = reinterpret_cast<sockaddr_in*>(found->ai_addr)->sin_addr;
      named = true;
    }
    if (found) freeaddrinfo(found);
  }
  if (port == 0 || port > 65535 || !named) {
    *error = "bad NMEA server address " + address + ":" + std::to_string(port);
    return false;
  }
  FdHolder listener(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  int one = 1;
  if (listener.Get() < 0 || setsockopt(listener.Get(), SOL_SOCKET, SO_REUSEADDR, &one, sizeof one) != 0) {
    *error = std::string("cannot set up the NMEA server's socket: ") + strerror(errno);
    return false;
  }
  if (bind(listener.Get(), reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 || listen(listener.Get(), 64) != 0) {
    *error = "cannot listen on " + address + ":" + std::to_string(port) + ": " + strerror(errno);
    return false;
  }
  StartServing(driverKey, allowWrites);
  AddListener(listener.Release(), "NMEA server");
  LogPrintf(LOG_CRLF, "NMEA server on %s:%u", address.c_str(), port);
  return true;
}

bool StartNmeaSocket(const std::string& path, unsigned mode, const std::u16string& driverKey, bool allowWrites,
                     std::string* error) {
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  if (path.empty() || path.size() >= sizeof addr.sun_path) {
    *error = "bad NmeaSocket path " + path;
    return false;
  }
  memcpy(addr.sun_path, path.c_str(), path.size() + 1);
  struct stat st{};
  if (lstat(path.c_str(), &st) == 0) {  // a socket a host that did not stop in order left; nothing else
    if (!S_ISSOCK(st.st_mode)) {
      *error = "NmeaSocket " + path + " is a file that is not a socket: left as it is";
      return false;
    }
    unlink(path.c_str());
  }
  FdHolder listener(socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
  if (listener.Get() < 0 || bind(listener.Get(), reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
      chmod(path.c_str(), mode) != 0 || listen(listener.Get(), 64) != 0) {
    *error = "cannot listen on " + path + ": " + strerror(errno);
    unlink(path.c_str());
    return false;
  }
  StartServing(driverKey, allowWrites);
  g_unixPath = path;
  AddListener(listener.Release(), "NMEA socket");
  LogPrintf(LOG_CRLF, "NMEA socket at %s (mode %#o)", path.c_str(), mode);
  return true;
}

void StopTcpServer() {
  if (!g_pump.joinable()) return;
  {
    std::lock_guard<std::mutex> lock(g_lock);
    g_stop = true;
    g_arrived.notify_all();
    g_freed.notify_all();
  }
  for (int fd : g_listeners)
    if (shutdown(fd, SHUT_RDWR) != 0)  // what ends the acceptors' accept
      LogPrintf(LOG_CRLF, "NMEA server shutdown: %s", strerror(errno));
  for (auto& t : g_acceptors) t.join();
  for (int fd : g_listeners) close(fd);
  g_acceptors.clear();
  g_listeners.clear();
  if (!g_unixPath.empty()) unlink(g_unixPath.c_str());
  g_unixPath.clear();
  // The pump ends at its next batch (a channel read is paced to the reader's cycle) and closes
  // the channel before the driver is deactivated.
  g_pump.join();
}
