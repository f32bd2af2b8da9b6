// The driver loaded in the test process, fed by ferrox-sim on pseudo-terminals, with the time
// scale shared by both processes.
#pragma once
#include <pty.h>
#include <signal.h>
#include <unistd.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <string>
#include <vector>
#include "channels.h"
#include "port_driver/driver_state.h"
#include "settings_store/settings.h"
#include "port_driver/stream.h"
#include "support/log.h"
#include "test_root.h"

extern char** environ;

constexpr double kScale = 10;

class DriverTest : public TempRootTest {
 protected:
  void SetUp() override {
    TempRootTest::SetUp();
    PlatformSetTimeScale(Scale());
    SetDword(DEFAULT_BUILTIN_KEY, u"Index", 8);
    SetDword(MAIN_KEY, u"EnableQuiet", 1);
    SetDword(MAIN_KEY, u"EnableLogs", 1);
    SetDword(MAIN_KEY, u"GpsComPort", 4);
  }
  void TearDown() override {
    if (loaded_) COM_Deinit(kDeviceContext);
    for (pid_t p : sims_) Stop(p);
    for (int fd : ptys_) close(fd);
    PlatformSetTimeScale(1);
    TempRootTest::TearDown();
  }
  // The time scale of the test and the programs it starts (peers such as gpsd run on the real clock).
  virtual double Scale() const { return kScale; }
  // Maps COMn: to a Linux device.
  void MapPort(int n, const std::string& device) {
    std::u16string key = std::u16string(u"Software\\Quorvale\\SerialPorts\\COM") + char16_t(u'0' + n) + u":";
    SetString(key.c_str(), u"Device", Utf8ToWide(device.c_str()).c_str());
  }
  // A receiver the test writes itself: a pseudo-terminal mapped as COMn:. Returns the side the
  // test writes (-1 when none could be made); both sides are closed at the end of the test.
  int WrittenReceiver(int port) {
    int master = -1, slave = -1;
    char name[256];
    if (openpty(&master, &slave, name, nullptr, nullptr) != 0) {
      ADD_FAILURE() << "no pseudo-terminal";
      return -1;
    }
    ptys_.push_back(master);
    ptys_.push_back(slave);
    MapPort(port, name);
    return master;
  }
  // Starts a receiver simulator on `link`; returns its pid.
  pid_t Simulate(const std::string& link, std::vector<std::string> args = {}) {
    std::vector<std::string> all = {FERROX_SIM_TOOL, "receiver", "--link", link};
    all.insert(all.end(), args.begin(), args.end());
    pid_t pid = Spawn(all);
    for (int i = 0; i < 200 && !FileExists(link); ++i) usleep(10000);
    EXPECT_TRUE(FileExists(link)) << link;
    return pid;
  }
  // Starts a program on the shared scaled clock; it is stopped at the end of the test.
  pid_t Spawn(std::vector<std::string> all) {
    std::vector<char*> argv;
    for (auto& a : all) argv.push_back(a.data());
    argv.push_back(nullptr);
    std::string scale = "FERROX_TIME_SCALE=" + std::to_string(static_cast<int>(Scale()));
    std::string origin = "FERROX_TIME_ORIGIN=" + std::to_string(PlatformTimeOriginMs());
    std::vector<char*> env;
    for (char** e = environ; *e; ++e)
      if (strncmp(*e, "FERROX_TIME", 11) != 0) env.push_back(*e);
    env.push_back(scale.data());
    env.push_back(origin.data());
    env.push_back(nullptr);
    // Ended with the test process even when it dies without its teardown (a sanitizer's halt),
    // so no helper outlives it holding the test runner's output open.
    pid_t pid = fork();
    if (pid == 0) {
      prctl(PR_SET_PDEATHSIG, SIGTERM);
      execve(argv[0], argv.data(), env.data());
      _exit(127);
    }
    EXPECT_GT(pid, 0);
    sims_.push_back(pid);
    return pid;
  }
  void Stop(pid_t pid) {
    if (pid <= 0) return;
    kill(pid, SIGTERM);
    int status;
    for (int i = 0; i < 500 && waitpid(pid, &status, WNOHANG) == 0; ++i) usleep(10000);
    if (waitpid(pid, &status, WNOHANG) == 0) {  // still there after 5 s
      kill(pid, SIGKILL);
      waitpid(pid, &status, 0);
    }
    for (auto& p : sims_)
      if (p == pid) p = 0;
  }
  // Starts a D-Bus of the test's own (stopped with the test); returns its address.
  std::string StartPrivateBus() {
    std::string address = "unix:path=" + root_ + "/bus";
    Spawn({"/usr/bin/dbus-daemon", "--session", "--nofork", "--nopidfile", "--address=" + address});
    // Listening, not only bound: its socket file comes a moment before it takes connections.
    EXPECT_TRUE(WaitFor([&] { return Accepts(root_ + "/bus"); })) << "no dbus-daemon";
    return address;
  }
  static bool Accepts(const std::string& socketPath) {
    int fd = socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un a{};
    a.sun_family = AF_UNIX;
    strncpy(a.sun_path, socketPath.c_str(), sizeof a.sun_path - 1);
    bool ok = connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
    close(fd);
    return ok;
  }
  void Load() {
    ASSERT_EQ(COM_Init(u"Drivers\\Active\\01", nullptr), kDeviceContext);
    loaded_ = true;
  }
  // Reads one whole text batch from a channel.
  std::string ReadBatch(DWORD handle) {
    char buf[2048];
    DWORD n = COM_Read(handle, buf, sizeof buf - 1);
    return std::string(buf, n);
  }
  std::string Log() {
    LogLine(LOG_FLUSH, nullptr);
    // The previous file too: every first open starts a fresh log.
    return ReadWholeFile(root_ + "/Quorvale/FrxDriverOld.txt") + ReadWholeFile(root_ + "/Quorvale/FrxDriver.txt");
  }
  // Waits (in real time) until `done` holds or `seconds` pass.
  template <typename F>
  bool WaitFor(F done, double seconds = 10) {
    for (int i = 0; i < seconds * 100; ++i) {
      if (done()) return true;
      usleep(10000);
    }
    return done();
  }
  bool loaded_ = false;
  std::vector<pid_t> sims_;
  std::vector<int> ptys_;
};

// Every sentence of a batch has a right checksum.
inline bool ChecksumsRight(const std::string& batch, int* sentences = nullptr) {
  size_t pos = 0;
  int count = 0;
  while ((pos = batch.find('$', pos)) != std::string::npos) {
    size_t star = batch.find('*', pos);
    if (star == std::string::npos || star + 5 > batch.size()) return false;
    unsigned char c = 0;
    for (size_t i = pos + 1; i < star; ++i) c ^= static_cast<unsigned char>(batch[i]);
    char hex[3];
    snprintf(hex, sizeof hex, "%02X", c);
    if (batch.compare(star + 1, 2, hex) != 0 || batch.compare(star + 3, 2, "\r\n") != 0) return false;
    pos = star;
    ++count;
  }
  if (sentences) *sentences = count;
  return count > 0;
}
