// frxd as users and other processes meet it: first start, remote handles over its socket, the
// NMEA TCP server, the virtual port, and a restart after being killed.
#include <sys/stat.h>
#include <chrono>
#include <filesystem>
#include <vector>
#include "host_fixture.h"

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

namespace {

// The driver's channels a program could still open (each is opened, counted, and closed again).
int FreeChannels() {
  std::vector<HANDLE> open;
  for (;;) {
    HANDLE h = CreateFileW(u"COM8:", GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    if (h == INVALID_HANDLE_VALUE) break;
    open.push_back(h);
  }
  for (HANDLE h : open) CloseHandle(h);
  return static_cast<int>(open.size());
}

}  // namespace

TEST_F(HostTest, TcpClientsShareOneChannelAndThoseThatVanishLeaveNone) {
  StartHost();
  for (int i = 0; i < 1000; ++i) {
    int fd = Connect();
    ASSERT_GE(fd, 0) << i;
    close(fd);
  }
  std::vector<int> clients;
  for (int i = 0; i < 100; ++i) clients.push_back(Connect());
  int served = 0;
  for (int fd : clients) served += Receive(fd, 5000).find("$GPRMC") != std::string::npos;
  EXPECT_EQ(served, 100);
  EXPECT_EQ(FreeChannels(), 9);  // one channel for all of them
  for (int fd : clients) close(fd);
  EXPECT_TRUE(WaitFor([] { return FreeChannels() == 10; }));
}

TEST_F(HostTest, TheTcpAddressMayBeAHostName) {
  SetString(u"Software\\Quorvale\\Frxd", u"TcpAddress", u"localhost");
  StartHost();
  int fd = Connect();  // 127.0.0.1
  ASSERT_GE(fd, 0);
  EXPECT_NE(Receive(fd, 5000).find("$GPRMC"), std::string::npos);
  close(fd);
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
  EXPECT_EQ(served, 10);
  EXPECT_EQ(FreeChannels(), 8);  // the terminal's and the TCP clients'
  for (int fd : clients) close(fd);
  close(tty);
  EXPECT_TRUE(WaitFor([] { return FreeChannels() == 10; }));
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

TEST_F(HostTest, ASecondHostOnARunningRootChangesNothingAndSaysWhoRuns) {
  // A root as setup-root.sh leaves it (no driver settings, no logs asked for) with the receiver mapped.
  ASSERT_EQ(RegDeleteKeyW(HKEY_LOCAL_MACHINE, MAIN_KEY), ERROR_SUCCESS);
  pid_t first = StartHost();
  auto serves = [&] {
    int tcp = Connect();
    bool ok = tcp >= 0 && Receive(tcp, 5000).find("$GPRMC") != std::string::npos;
    if (tcp >= 0) close(tcp);
    HANDLE h = CreateFileW(u"COM8:", GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    ok = ok && h != INVALID_HANDLE_VALUE;
    if (h != INVALID_HANDLE_VALUE) CloseHandle(h);
    HKEY k;
    ok = ok && FileExists(root_ + "/dev/ttyFRX0") && RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"Drivers\\Active\\01", 0, 0, &k) == 0;
    if (ok) RegCloseKey(k);
    return ok;
  };
  ASSERT_TRUE(serves());
  // Typed by hand while the first runs; then again with the TCP server off (nothing to collide on).
  for (bool tcpOff : {false, true}) {
    if (tcpOff) SetDword(u"Software\\Quorvale\\Frxd", u"TcpPort", 0);
    std::string out;
    auto start = std::chrono::steady_clock::now();
    int status = RunCommand(std::string("timeout 10 ") + FERROX_HOST_TOOL + " --root " + root_ + " --foreground 2>&1", &out);
    double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    EXPECT_EQ(status, 1) << out;
    EXPECT_LT(seconds, 2.0);
    EXPECT_NE(out.find("frxd: frxd is already running on " + root_ + " (pid " + std::to_string(first) + ")"),
              std::string::npos)
        << out;
    PlatformRegistryClose();
    EXPECT_TRUE(serves()) << "the first host was damaged" << (tcpOff ? " (TCP off)" : "");
  }
  std::string log = ReadWholeFile(root_ + "/Quorvale/Frxd.txt");
  EXPECT_NE(log.find("frxd Startup"), std::string::npos) << log;
  EXPECT_NE(log.find("A second frxd"), std::string::npos) << log;
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
  EXPECT_NE(out.find("frxd: --frobnicate is unknown"), std::string::npos) << out;
  EXPECT_EQ(RunCommand(std::string(FERROX_HOST_TOOL) + " --root /proc/nonexistent/x 2>&1", &out), 1);
  EXPECT_EQ(RunCommand(std::string(FERROX_HOST_TOOL) + " --help", &out), 0);
}

TEST_F(HostTest, TheReadmeOrderOnANewRootServesTheVirtualPort) {
  // A user maps the receiver first, so the root has a registry before frxd ever started.
  std::string fresh = root_ + "/daily";
  std::string reg = std::string(FERROX_REG_TOOL) + " --root '" + fresh + "' set ";
  std::string out;
  ASSERT_EQ(RunCommand(reg + "'HKLM\\Software\\Quorvale\\SerialPorts\\COM4:' Device 'sz:" + root_ +
                           "/receiver' 2>&1",
                       &out),
            0)
      << out;
  ASSERT_EQ(RunCommand(reg + "'HKLM\\Software\\Quorvale\\Frxd' TcpPort dword:0 2>&1", &out), 0) << out;
  Spawn({FERROX_HOST_TOOL, "--root", fresh, "--foreground"});
  ASSERT_TRUE(WaitFor([&] { return FileExists(fresh + "/dev/ttyFRX0"); }));
  int tty = open((fresh + "/dev/ttyFRX0").c_str(), O_RDWR | O_NOCTTY);
  ASSERT_GE(tty, 0);
  EXPECT_NE(Receive(tty, 5000).find("$GPRMC"), std::string::npos);
  close(tty);
  // What the user set is kept; what installing writes is filled in.
  PlatformSetRoot(fresh);
  EXPECT_EQ(GetString(u"Software\\Quorvale\\SerialPorts\\COM4:", u"Device"), Utf8ToWide((root_ + "/receiver").c_str()));
  DWORD v = 1;
  EXPECT_TRUE(GetDword(u"Software\\Quorvale\\Frxd", u"TcpPort", &v));
  EXPECT_EQ(v, 0u);
  EXPECT_TRUE(GetDword(u"Drivers\\BuiltIn\\FrxDriver", u"Index", &v));
  EXPECT_EQ(v, 8u);
  PlatformSetRoot(root_);
}


namespace {

// Paths under `root` (itself included) that others may read, write or enter.
std::vector<std::string> OpenToOthers(const std::string& root) {
  std::vector<std::string> open;
  std::error_code ec;
  auto check = [&](const std::filesystem::path& p) {
    struct stat st;
    if (lstat(p.c_str(), &st) == 0 && !S_ISLNK(st.st_mode) && (st.st_mode & 0007))
      open.push_back(p.string() + " " + std::to_string(st.st_mode & 0777));
  };
  check(root);
  for (auto& e : std::filesystem::recursive_directory_iterator(root, ec)) check(e.path());
  return open;
}

}  // namespace

TEST_F(HostTest, ARootMadeUnderAnOpenUmaskIsTheUsersAloneAndAForeignPtyLinkIsLeft) {
  const std::string fresh = root_ + "/private";
  const std::string reg = "umask 022; " + std::string(FERROX_REG_TOOL) + " --root '" + fresh + "' set ";
  std::string out;
  ASSERT_EQ(RunCommand(reg + "'HKLM\\Software\\Quorvale\\SerialPorts\\COM4:' Device 'sz:" + root_ + "/receiver' 2>&1", &out), 0) << out;
  ASSERT_EQ(RunCommand(reg + "'HKLM\\Software\\Quorvale\\Frxd' TcpPort dword:0 2>&1", &out), 0) << out;
  ASSERT_EQ(RunCommand(reg + "'HKLM\\Software\\Quorvale\\FerroxDriver' EnableLogs dword:1 2>&1", &out), 0) << out;
  ASSERT_EQ(RunCommand(reg + "'HKLM\\Software\\Quorvale\\FerroxDriver' EnableTrack dword:2 2>&1", &out), 0) << out;
  mode_t old = umask(022);
  pid_t host = Spawn({FERROX_HOST_TOOL, "--root", fresh, "--foreground"});
  umask(old);
  ASSERT_TRUE(WaitFor([&] { return FileExists(fresh + "/dev/ttyFRX0"); }));
  int tty = open((fresh + "/dev/ttyFRX0").c_str(), O_RDWR | O_NOCTTY);
  ASSERT_GE(tty, 0);
  EXPECT_NE(Receive(tty, 5000).find("$GPRMC"), std::string::npos);
  // Fixes for the track logs: the first point makes the GPX file.
  EXPECT_TRUE(WaitFor([&] { return FileExists(fresh + "/Storage Card/Quorvale/FrxDriverOut.gpx"); }, 10));
  close(tty);
  EXPECT_EQ(OpenToOthers(fresh), std::vector<std::string>{}) << "while running";
  Stop(host);
  EXPECT_TRUE(FileExists(fresh + "/Storage Card/Quorvale/FrxDriverOut.gpx"));
  EXPECT_TRUE(FileExists(fresh + "/Quorvale/FrxDriver.txt"));
  EXPECT_EQ(OpenToOthers(fresh), std::vector<std::string>{});
  struct stat st;
  ASSERT_EQ(stat(fresh.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0700u);
  // A PtyLink naming the user's own file: refused, the file left as it was.
  const std::string plain = root_ + "/notes.txt";
  std::ofstream(plain) << "mine\n";
  ASSERT_EQ(RunCommand(reg + "'HKLM\\Software\\Quorvale\\Frxd' PtyLink 'sz:" + plain + "' 2>&1", &out), 0) << out;
  EXPECT_EQ(RunCommand("timeout 10 " + std::string(FERROX_HOST_TOOL) + " --root '" + fresh + "' --foreground 2>&1", &out), 1);
  EXPECT_NE(out.find("is a file that is not this system's link"), std::string::npos) << out;
  EXPECT_EQ(ReadWholeFile(plain), "mine\n");
  // A socket mode that lets others in is refused.
  ASSERT_EQ(RunCommand(reg + "'HKLM\\Software\\Quorvale\\Frxd' PtyLink 'sz:" + fresh + "/dev/ttyFRX0' 2>&1", &out), 0);
  ASSERT_EQ(RunCommand(reg + "'HKLM\\Software\\Quorvale\\Frxd' SocketMode dword:438 2>&1", &out), 0) << out;  // 0666
  EXPECT_EQ(RunCommand("timeout 10 " + std::string(FERROX_HOST_TOOL) + " --root '" + fresh + "' --foreground 2>&1", &out), 1);
  EXPECT_NE(out.find("SocketMode 0666 refused"), std::string::npos) << out;
}
