// frxd as users and other processes meet it: first start, remote handles over its socket, the
// NMEA TCP server, the virtual port, and a restart after being killed.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <fstream>
#include <sstream>
#include "driver_fixture.h"
#include "reg_file.h"

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
    Simulate(root_ + "/receiver");
  }
  // Starts frxd and waits until it serves (a socket or link left by a killed host does not count).
  pid_t StartHost() {
    pid_t pid = Spawn({FERROX_HOST_TOOL, "--root", root_, "--foreground"});
    EXPECT_TRUE(WaitFor([&] { return FileExists(root_ + "/dev/ttyFRX0") && SocketAccepts(); }));
    usleep(100000);  // the virtual port is linked right after the socket listens
    return pid;
  }
  bool SocketAccepts() {
    int fd = socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un a{};
    a.sun_family = AF_UNIX;
    strncpy(a.sun_path, (root_ + "/frxd.sock").c_str(), sizeof a.sun_path - 1);
    bool ok = connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
    close(fd);
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

TEST_F(HostTest, RemoteHandlesReachTheDriverAndGarbageOnlyDropsItsConnection) {
  StartHost();
  HANDLE h = CreateFileW(u"COM8:", GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  char buf[2048];
  DWORD got = 0;
  ASSERT_TRUE(ReadFile(h, buf, sizeof buf, &got, nullptr));
  EXPECT_TRUE(ChecksumsRight(std::string(buf, got)));
  DCB dcb{};
  ASSERT_TRUE(GetCommState(h, &dcb));
  EXPECT_EQ(dcb.BaudRate, 115200u);
  // A client that sends garbage is dropped; the first keeps reading.
  int bad = socket(AF_UNIX, SOCK_STREAM, 0);
  sockaddr_un a{};
  a.sun_family = AF_UNIX;
  strncpy(a.sun_path, (root_ + "/frxd.sock").c_str(), sizeof a.sun_path - 1);
  ASSERT_EQ(connect(bad, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
  const char garbage[] = "\xff\xff\xff\xff\x10\x00\x00\x10 this is not a message";
  ASSERT_GT(write(bad, garbage, sizeof garbage), 0);
  EXPECT_EQ(Receive(bad, 2000), "");  // closed by the host
  close(bad);
  FixRecord raw{};
  ASSERT_TRUE(ReadFile(h, &raw, sizeof raw, &got, nullptr));
  EXPECT_EQ(got, 344u);
  EXPECT_EQ(raw.Version, 1u);
  EXPECT_TRUE(CloseHandle(h));
  EXPECT_EQ(CreateFileW(u"COM7:", GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr), INVALID_HANDLE_VALUE);
}

TEST_F(HostTest, TcpClientsThatVanishLeaveNoChannelOpen) {
  StartHost();
  for (int i = 0; i < 1000; ++i) {
    int fd = Connect();
    ASSERT_GE(fd, 0) << i;
    close(fd);
  }
  usleep(500000);
  std::vector<int> clients;
  for (int i = 0; i < 10; ++i) clients.push_back(Connect());
  for (int fd : clients) EXPECT_NE(Receive(fd, 5000).find("$GPRMC"), std::string::npos);
  int eleventh = Connect();
  EXPECT_EQ(Receive(eleventh, 2000).find("$GPRMC"), std::string::npos);  // refused: ten channels are taken
  close(eleventh);
  for (int fd : clients) close(fd);
}

TEST_F(HostTest, TheVirtualPortHoldsAChannelOnlyWhileAProgramHasItOpen) {
  StartHost();
  int tty = open((root_ + "/dev/ttyFRX0").c_str(), O_RDWR | O_NOCTTY);
  ASSERT_GE(tty, 0);
  EXPECT_NE(Receive(tty, 5000).find("$GPRMC"), std::string::npos);
  std::vector<int> clients;
  for (int i = 0; i < 10; ++i) clients.push_back(Connect());
  int served = 0;
  for (int fd : clients) served += Receive(fd, 3000).find("$GPRMC") != std::string::npos;
  EXPECT_EQ(served, 9);  // the terminal holds the tenth channel
  for (int fd : clients) close(fd);
  close(tty);
  usleep(1000000);
  clients.clear();
  for (int i = 0; i < 10; ++i) clients.push_back(Connect());
  served = 0;
  for (int fd : clients) served += Receive(fd, 3000).find("$GPRMC") != std::string::npos;
  EXPECT_EQ(served, 10);
  for (int fd : clients) close(fd);
}

TEST_F(HostTest, TheHostNeverForwardsAnOpenToItself) {
  // The driver inside the host looks for devices that exist nowhere (the sensor device, the
  // cell service); each lookup must end at the host, not loop through its own socket.
  pid_t host = StartHost();
  int tty = open((root_ + "/dev/ttyFRX0").c_str(), O_RDWR | O_NOCTTY);
  ASSERT_GE(tty, 0);
  EXPECT_NE(Receive(tty, 5000).find("$GPRMC"), std::string::npos);
  std::ifstream status("/proc/" + std::to_string(host) + "/status");
  std::string line;
  int threads = 0;
  while (std::getline(status, line))
    if (line.rfind("Threads:", 0) == 0) threads = std::stoi(line.substr(8));
  EXPECT_GT(threads, 0);
  EXPECT_LT(threads, 20);
  close(tty);
}

TEST_F(HostTest, AKilledHostRestartsWithItsRegistry) {
  pid_t host = StartHost();
  kill(host, SIGKILL);
  int status;
  waitpid(host, &status, 0);
  PlatformRegistryClose();
  DWORD v = 0;
  ASSERT_TRUE(GetDword(u"Drivers\\BuiltIn\\FrxDriver", u"Index", &v));
  EXPECT_EQ(v, 8u);
  ASSERT_TRUE(GetDword(u"Software\\Quorvale\\Frxd", u"TcpPort", &v));
  EXPECT_EQ(v, static_cast<DWORD>(port_));
  StartHost();  // over the stale socket and link
  HANDLE h = CreateFileW(u"COM8:", GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  char buf[2048];
  DWORD got = 0;
  EXPECT_TRUE(ReadFile(h, buf, sizeof buf, &got, nullptr));
  EXPECT_GT(got, 0u);
  CloseHandle(h);
}

TEST_F(HostTest, AStoppedHostLeavesNoActiveKeyOrSocket) {
  pid_t host = StartHost();
  HKEY k;
  ASSERT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"Drivers\\Active\\01", 0, 0, &k), ERROR_SUCCESS);
  RegCloseKey(k);
  Stop(host);
  EXPECT_FALSE(FileExists(root_ + "/frxd.sock"));
  EXPECT_FALSE(FileExists(root_ + "/dev/ttyFRX0"));
  EXPECT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"Drivers\\Active\\01", 0, 0, &k), ERROR_FILE_NOT_FOUND);
}

TEST_F(DriverTest, AnEmptyRootIsSetUpAtTheFirstStart) {
  std::string fresh = root_ + "/fresh";
  pid_t host = Spawn({FERROX_HOST_TOOL, "--root", fresh, "--foreground"});
  ASSERT_TRUE(WaitFor([&] { return FileExists(fresh + "/frxd.sock"); }));
  EXPECT_EQ(ReadWholeFile(fresh + "/Windows/AltitudeTable_1.RAW").size(), 65341u);
  Stop(host);
  PlatformSetRoot(fresh);
  DWORD index = 0;
  EXPECT_TRUE(GetDword(u"Drivers\\BuiltIn\\FrxDriver", u"Index", &index));
  EXPECT_EQ(index, 8u);
  EXPECT_EQ(GetString(u"System\\StorageManager\\Profiles\\SDMemory", u"Folder"), u"Storage Card");
  PlatformSetRoot(root_);
}

TEST(HostStart, BadArgumentsFailWithOneLine) {
  std::string out;
  EXPECT_EQ(RunCommand(std::string(FERROX_HOST_TOOL) + " --frobnicate 2>&1", &out), 1);
  EXPECT_NE(out.find("frxd: unknown argument"), std::string::npos);
  EXPECT_EQ(RunCommand(std::string(FERROX_HOST_TOOL) + " --root /proc/nonexistent/x 2>&1", &out), 1);
  EXPECT_EQ(RunCommand(std::string(FERROX_HOST_TOOL) + " --help", &out), 0);
}
