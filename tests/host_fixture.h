// frxd started by a test: a root with the default registry, a simulated receiver on COM4:, the
// NMEA TCP server on a free port, and helpers to reach the host's socket, TCP server and port.
#pragma once
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <systemd/sd-bus.h>
#include <fstream>
#include <sstream>
#include "driver_fixture.h"
#include "support/reg_file.h"

namespace {

// A port nobody listens on now, as the system hands one out.
int FreePort() {
  int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  inet_pton(AF_INET, "127.0.0.1", &a.sin_addr);
  socklen_t length = sizeof a;
  bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
  getsockname(fd, reinterpret_cast<sockaddr*>(&a), &length);
  close(fd);
  return ntohs(a.sin_port);
}

class HostTest : public DriverTest {
 protected:
  void SetUp() override {
    DriverTest::SetUp();
    std::ifstream in(std::string(FERROX_SOURCE_DIR) + "/data/default-registry.reg");
    std::stringstream text;
    text << in.rdbuf();
    std::vector<RegChange> changes;
    std::string error;
    ASSERT_TRUE(ParseRegText(text.str(), changes, error)) << error;
    ASSERT_EQ(ApplyRegChanges(changes, error), 0) << error;
    port_ = FreePort();
    SetDword(u"Software\\Quorvale\\Frxd", u"TcpPort", static_cast<DWORD>(port_));
    MapPort(4, root_ + "/receiver");
    Simulate(root_ + "/receiver", ReceiverArgs());
  }
  // Options of the simulated receiver on COM4:.
  virtual std::vector<std::string> ReceiverArgs() { return {}; }
  // Starts frxd and waits until it serves (a socket or link left by a killed host does not count).
  pid_t StartHost() {
    pid_t pid = Spawn({FERROX_HOST_TOOL, "--root", root_, "--foreground"});
    // The NMEA server listens a moment after the virtual port is linked; when it is configured,
    // its first connection is waited for too.
    DWORD tcpPort = 0;
    bool tcpOn = GetDword(u"Software\\Quorvale\\Frxd", u"TcpPort", &tcpPort) && tcpPort == static_cast<DWORD>(port_);
    EXPECT_TRUE(WaitFor([&] {
      return FileExists(root_ + "/dev/ttyFRX0") && SocketAccepts() && (!tcpOn || TcpAccepts());
    }));
    return pid;
  }
  bool SocketAccepts() { return Accepts(root_ + "/frxd.sock"); }
  bool TcpAccepts() {
    int fd = Connect();
    if (fd >= 0) close(fd);
    return fd >= 0;
  }
  // Says on the bus at `address` what logind says before a suspend (true) and after the resume
  // (false); the test owns logind's name there.
  static bool PrepareForSleep(const std::string& address, bool sleeping) {
    sd_bus* bus = nullptr;
    if (sd_bus_new(&bus) < 0) return false;
    bool ok = sd_bus_set_address(bus, address.c_str()) >= 0 && sd_bus_set_bus_client(bus, 1) >= 0 &&
              sd_bus_start(bus) >= 0 && sd_bus_request_name(bus, "org.freedesktop.login1", 0) >= 0 &&
              sd_bus_emit_signal(bus, "/org/freedesktop/login1", "org.freedesktop.login1.Manager", "PrepareForSleep",
                                 "b", sleeping ? 1 : 0) >= 0 &&
              sd_bus_flush(bus) >= 0;
    sd_bus_flush_close_unref(bus);
    return ok;
  }
  int Connect() {
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<uint16_t>(port_));
    inet_pton(AF_INET, "127.0.0.1", &a.sin_addr);
    if (connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
      close(fd);
      return -1;
    }
    return fd;
  }
  // What arrives on `fd` within `ms` real milliseconds (empty when the peer closed first).
  static std::string Receive(int fd, int ms) {
    std::string got;
    char buf[4096];
    for (int waited = 0; waited < ms; waited += 20) {
      pollfd p{fd, POLLIN, 0};
      if (poll(&p, 1, 20) > 0) {
        ssize_t n = read(fd, buf, sizeof buf);
        if (n <= 0) break;
        got.append(buf, static_cast<size_t>(n));
        if (got.find("$GPRMC") != std::string::npos && got.find("\r\n", got.find("$GPRMC")) != std::string::npos)
          break;
      }
    }
    return got;
  }
  int port_ = 0;
};

}  // namespace
