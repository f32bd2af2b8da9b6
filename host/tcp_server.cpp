#include "tcp_server.h"
#include <arpa/inet.h>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <mutex>
#include <netinet/in.h>
#include <poll.h>
#include <set>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>
#include "channel_pump.h"
#include "device_manager.h"
#include "client_threads.h"
#include "support/log.h"

namespace {

int g_listen = -1;
std::thread g_acceptor;
std::atomic<bool> g_stop{false};
std::mutex g_lock;
std::set<int> g_clients;
ClientThreads g_threads;  // joined at the stop: none is still inside the driver after it

void Serve(int fd, std::u16string driverKey, bool allowWrites) {
  HANDLE channel = OpenChannel(DeviceNameOf(driverKey.c_str()));  // the index may change with a re-registration
  if (!channel) {
    LogLine(LOG_CRLF, "NMEA client refused: no free channel");
  } else {
    std::string batch, pending;
    while (!g_stop) {
      if (!DrainWrites(fd, channel, allowWrites)) break;  // the client closed
      if (!NextBatch(channel, &batch)) break;
      if (batch.empty()) continue;
      if (!OfferBatch(fd, &pending, batch)) break;
    }
    CloseHandle(channel);
  }
  {
    std::lock_guard<std::mutex> lock(g_lock);
    g_clients.erase(fd);
  }
  close(fd);
}

}  // namespace

bool StartTcpServer(const std::string& address, unsigned port, const std::u16string& driverKey, bool allowWrites,
                    std::string* error) {
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(static_cast<uint16_t>(port));
  if (port == 0 || port > 65535 || inet_pton(AF_INET, address.c_str(), &addr.sin_addr) != 1) {
    *error = "bad NMEA server address " + address + ":" + std::to_string(port);
    return false;
  }
  g_listen = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  int one = 1;
  if (setsockopt(g_listen, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one) != 0) {
    *error = std::string("cannot set up the NMEA server's socket: ") + strerror(errno);
    close(g_listen);
    g_listen = -1;
    return false;
  }
  if (g_listen < 0 || bind(g_listen, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
      listen(g_listen, 64) != 0) {
    *error = "cannot listen on " + address + ":" + std::to_string(port) + ": " + strerror(errno);
    if (g_listen >= 0) close(g_listen);
    g_listen = -1;
    return false;
  }
  g_stop = false;
  g_acceptor = std::thread([driverKey, allowWrites] {
    for (;;) {
      int fd = accept4(g_listen, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
      if (fd < 0) {
        if (g_stop) return;
        if (errno == EINTR || errno == ECONNABORTED || errno == EMFILE) continue;
        return;
      }
      {
        std::lock_guard<std::mutex> lock(g_lock);
        g_clients.insert(fd);
      }
      g_threads.Start([fd, driverKey, allowWrites] { Serve(fd, driverKey, allowWrites); });
    }
  });
  LogPrintf(LOG_CRLF, "NMEA server on %s:%u", address.c_str(), port);
  return true;
}

void StopTcpServer() {
  if (g_listen < 0) return;
  g_stop = true;
  if (shutdown(g_listen, SHUT_RDWR) != 0)  // what ends the acceptor's accept
    LogPrintf(LOG_CRLF, "NMEA server shutdown: %s", strerror(errno));
  if (g_acceptor.joinable()) g_acceptor.join();
  close(g_listen);
  g_listen = -1;
  {
    std::lock_guard<std::mutex> lock(g_lock);
    for (int fd : g_clients) shutdown(fd, SHUT_RDWR);  // their threads close the channels
  }
  g_threads.JoinAll();
}
