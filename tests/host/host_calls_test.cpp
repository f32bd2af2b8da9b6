// The services manager and device manager calls of another process, served by frxd; and calls on
// one remote handle from several threads at once.
#include <chrono>
#include <sys/resource.h>
#include <sstream>
#include <thread>
#include "host_fixture.h"
#include "platform/device_protocol.h"
#include "stress.h"

namespace {

constexpr DWORD IOCTL_KIT_WHO = 0x00220004;
constexpr char16_t kDriverKey[] = u"Drivers\\BuiltIn\\FrxDriver";

class HostCallsTest : public HostTest {
 protected:
  void SetUp() override {
    HostTest::SetUp();
    // A service frxd knows but does not start by itself.
    SetString(u"Services\\TestKit", u"Dll", u"FerroxTestKit.dll");
    SetString(u"Services\\TestKit", u"Prefix", u"TSV");
    SetDword(u"Services\\TestKit", u"Index", 1);
    SetDword(u"Services\\TestKit", u"Flags", DEVFLAGS_NOLOAD);
  }
  // The process id and context a service's I/O control reached, through `h`.
  static bool Who(HANDLE h, DWORD* pid, DWORD* context) {
    DWORD who[2] = {}, n = 0;
    if (!DeviceIoControl(h, IOCTL_KIT_WHO, nullptr, 0, who, sizeof who, &n, nullptr) || n != 8) return false;
    *pid = who[0];
    *context = who[1];
    return true;
  }
  // Drivers\Active entries made from the driver's key: one per loaded instance.
  int ActiveInstances() {
    PlatformRegistryClose();  // see what frxd wrote
    int count = 0;
    for (int n = 1; n < 100; ++n) {
      char path[32];
      snprintf(path, sizeof path, "Drivers\\Active\\%02d", n);
      std::u16string key = Utf8ToWide(path);
      if (GetString(key.c_str(), u"Key") == kDriverKey) ++count;
    }
    return count;
  }
  bool ServesBatches() {
    HANDLE h = CreateFileW(u"COM8:", GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    if (h == INVALID_HANDLE_VALUE) return false;
    char buf[2048];
    DWORD got = 0;
    bool ok = ReadFile(h, buf, sizeof buf, &got, nullptr) && ChecksumsRight(std::string(buf, got)) &&
              std::string(buf, got).find("$GPRMC") != std::string::npos;
    CloseHandle(h);
    return ok;
  }
  static double MsSince(std::chrono::steady_clock::time_point t) {
    return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t).count();
  }
};

}  // namespace

TEST_F(HostCallsTest, AServiceIsActivatedUsedAndDeregisteredFromAnotherProcess) {
  pid_t host = StartHost();
  EXPECT_EQ(GetServiceHandle(u"TSV1:", nullptr, nullptr), INVALID_HANDLE_VALUE);  // not running yet
  HANDLE service = ActivateService(u"TestKit", 0);
  ASSERT_NE(service, nullptr) << GetLastError();
  EXPECT_EQ(ActivateService(u"TestKit", 0), nullptr);
  EXPECT_EQ(GetLastError(), ERROR_SERVICE_ALREADY_RUNNING);
  HANDLE h = GetServiceHandle(u"TSV1:", nullptr, nullptr);
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  DWORD pid = 0, context = 0;
  ASSERT_TRUE(Who(h, &pid, &context));
  EXPECT_EQ(pid, static_cast<DWORD>(host));  // served inside frxd
  EXPECT_EQ(context, 0x51u);                 // the service's own context, started from its key
  EXPECT_TRUE(DeregisterService(service));
  EXPECT_FALSE(Who(h, &pid, &context));  // the service is gone under the handle
  CloseHandle(h);
  CloseHandle(service);
  EXPECT_EQ(GetServiceHandle(u"TSV1:", nullptr, nullptr), INVALID_HANDLE_VALUE);

  // A module registered as a service by name, prefix and index, with the caller's context.
  HANDLE registered = RegisterService(u"TSV", 2, u"FerroxTestKit.dll", 7);
  ASSERT_NE(registered, nullptr) << GetLastError();
  HANDLE device = CreateFileW(u"TSV2:", GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(device, INVALID_HANDLE_VALUE);
  ASSERT_TRUE(Who(device, &pid, &context));
  EXPECT_EQ(context, 8u);  // its Open made context + 1
  CloseHandle(device);
  EXPECT_EQ(RegisterService(u"TSV", 2, u"Missing.dll", 7), nullptr);
  // A handle of the service itself ends it too (the kill sequence of the settings program).
  h = GetServiceHandle(u"TSV2:", nullptr, nullptr);
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  EXPECT_TRUE(DeregisterService(h));
  CloseHandle(h);
  CloseHandle(registered);
  EXPECT_EQ(CreateFileW(u"TSV2:", GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr), INVALID_HANDLE_VALUE);
}

TEST_F(HostCallsTest, ReRegisteringTheDriverLeavesExactlyOneInstanceServing) {
  StartHost();
  ASSERT_EQ(ActiveInstances(), 1);
  // The settings program's unload: Flags with the no-load bit, then activate from the key.
  SetDword(kDriverKey, u"Flags", DEVFLAGS_UNLOAD | DEVFLAGS_NOLOAD);
  EXPECT_EQ(ActivateDeviceEx(kDriverKey, nullptr, 0, nullptr), nullptr);
  EXPECT_EQ(ActiveInstances(), 0);
  EXPECT_EQ(CreateFileW(u"COM8:", GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr), INVALID_HANDLE_VALUE);
  // And its load: Flags 0, activate again; twice, as a program that saves twice would.
  SetDword(kDriverKey, u"Flags", 0);
  HANDLE first = ActivateDeviceEx(kDriverKey, nullptr, 0, nullptr);
  ASSERT_NE(first, nullptr);
  HANDLE second = ActivateDeviceEx(kDriverKey, nullptr, 0, nullptr);
  ASSERT_NE(second, nullptr);
  EXPECT_EQ(ActiveInstances(), 1);
  EXPECT_TRUE(ServesBatches());
  int tcp = Connect();  // the virtual port's TCP side serves the new instance
  EXPECT_NE(Receive(tcp, 15000).find("$GPRMC"), std::string::npos);  // a fresh start under ThreadSanitizer is slow
  close(tcp);
  EXPECT_FALSE(DeactivateDevice(first));  // replaced by the second
  EXPECT_TRUE(DeactivateDevice(second));
  EXPECT_EQ(ActiveInstances(), 0);
  EXPECT_FALSE(ServesBatches());
}

TEST_F(HostCallsTest, ARemoteWaitEndsAtOnceWhenAnotherThreadChangesTheMask) {
  Stop(sims_[0]);  // no receiver: no fresh data ends the wait
  StartHost();
  HANDLE h = CreateFileW(u"COM8:", GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  COMMTIMEOUTS t{};
  t.ReadTotalTimeoutConstant = 600000;  // the wait would last a minute of real time
  ASSERT_TRUE(SetCommTimeouts(h, &t));
  ASSERT_TRUE(SetCommMask(h, EV_RXCHAR));
  std::atomic<bool> done{false};
  std::chrono::steady_clock::time_point ended;
  std::thread waiter([&] {
    DWORD mask = 0;
    WaitCommEvent(h, &mask, nullptr);
    ended = std::chrono::steady_clock::now();
    done = true;
  });
  // The wait is inside frxd's driver before the mask changes; should the change still come before
  // the driver's own wait begins, it would not end it, so it is repeated until the wait ends and
  // timed from the last one.
  ASSERT_TRUE(WaitFor([] { return PlatformHostCallsInFlight() == 1; }, 5)) << "the wait never reached frxd's driver";
  double ms = -1;
  for (int i = 0; i < 50 && ms < 0; ++i) {
    if (i > 0) usleep(200000);
    ASSERT_FALSE(done) << "the wait ended without a mask change";
    auto changed = std::chrono::steady_clock::now();
    ASSERT_TRUE(SetCommMask(h, EV_RXCHAR));  // from this thread, on the same handle
    if (WaitFor([&] { return done.load(); }, 1))
      ms = std::chrono::duration<double, std::milli>(ended - changed).count();
  }
  waiter.join();
  ASSERT_GE(ms, 0) << "the wait never ended";
  EXPECT_LT(ms, 100.0) << "the wait ended " << ms << " ms after the mask changed";
  printf("remote wait ended %.1f ms after the mask changed\n", ms);
  CloseHandle(h);
}

TEST_F(HostCallsTest, ClosingARemoteHandleWakesAReadBlockedOnIt) {
  Stop(sims_[0]);                            // no fresh fix ends the read,
  SetDword(MAIN_KEY, u"SleepTime", 600000);  // nor the channel's pace within a minute
  StartHost();
  HANDLE h = CreateFileW(u"COM8:", GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  FixRecord raw{};
  DWORD got = 0;
  ASSERT_TRUE(ReadFile(h, &raw, sizeof raw, &got, nullptr));  // the first record comes at once
  std::atomic<bool> done{false};
  BOOL ok = TRUE;
  std::thread reader([&] {
    ok = ReadFile(h, &raw, sizeof raw, &got, nullptr);  // waits for the next fix
    done = true;
  });
  // The read is inside the driver (its wait for the next fix) before the handle is closed.
  ASSERT_TRUE(WaitFor([] { return PlatformHostCallsInFlight() == 1; }, 5));
  ASSERT_FALSE(done.load());
  auto closed = std::chrono::steady_clock::now();
  EXPECT_TRUE(CloseHandle(h));
  ASSERT_TRUE(WaitFor([&] { return done.load(); }, 5));
  double ms = MsSince(closed);
  EXPECT_LT(ms, 1000.0);
  printf("remote read ended %.1f ms after the handle was closed\n", ms);
  reader.join();
  EXPECT_FALSE(ok);
  EXPECT_EQ(GetLastError(), ERROR_SUCCESS);  // this thread's error is its own
}

TEST_F(HostCallsTest, AnUnknownRequestClosesOnlyItsConnectionWithALogLine) {
  StartHost();
  HANDLE h = CreateFileW(u"COM8:", GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  int bad = socket(AF_UNIX, SOCK_STREAM, 0);
  sockaddr_un a{};
  a.sun_family = AF_UNIX;
  strncpy(a.sun_path, (root_ + "/frxd.sock").c_str(), sizeof a.sun_path - 1);
  ASSERT_EQ(connect(bad, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
  // A read whose payload is too short for its operation, then an operation nobody knows.
  WireHeader wrong{WIRE_READ, 1, 2};
  ASSERT_EQ(write(bad, &wrong, sizeof wrong), static_cast<ssize_t>(sizeof wrong));
  ASSERT_EQ(write(bad, "xx", 2), 2);
  EXPECT_EQ(Receive(bad, 2000), "");
  close(bad);
  bad = socket(AF_UNIX, SOCK_STREAM, 0);
  ASSERT_EQ(connect(bad, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
  WireHeader unknown{77, 1, 0};
  ASSERT_EQ(write(bad, &unknown, sizeof unknown), static_cast<ssize_t>(sizeof unknown));
  EXPECT_EQ(Receive(bad, 2000), "");
  close(bad);
  EXPECT_TRUE(WaitFor([&] {
    return ReadWholeFile(root_ + "/Quorvale/Frxd.txt").find("request 77 of 0 bytes refused") != std::string::npos;
  }));
  char buf[2048];
  DWORD got = 0;
  EXPECT_TRUE(ReadFile(h, buf, sizeof buf, &got, nullptr));  // the good handle is untouched
  EXPECT_GT(got, 0u);
  CloseHandle(h);
}

namespace {

// Resident memory of a process in kB (VmRSS), 0 when it can't be read.
long ResidentKb(pid_t pid) {
  std::string status = ReadWholeFile("/proc/" + std::to_string(pid) + "/status");
  size_t at = status.find("VmRSS:");
  return at == std::string::npos ? 0 : atol(status.c_str() + at + 6);
}

}  // namespace

TEST_F(HostCallsTest, AClientThatSendsWithoutReadingRepliesIsHeldBackAndOthersAreServed) {
  ASSERT_EQ(RegDeleteKeyW(HKEY_LOCAL_MACHINE, MAIN_KEY), ERROR_SUCCESS);  // as setup-root.sh leaves it
  pid_t host = StartHost();
  ASSERT_TRUE(ServesBatches());
  const long before = ResidentKb(host);
  int greedy = socket(AF_UNIX, SOCK_STREAM, 0);
  sockaddr_un a{};
  a.sun_family = AF_UNIX;
  strncpy(a.sun_path, (root_ + "/frxd.sock").c_str(), sizeof a.sun_path - 1);
  ASSERT_EQ(connect(greedy, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
  timeval limit{0, 100000};  // the sender can stop
  setsockopt(greedy, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit);
  std::string open(sizeof(WireHeader) + sizeof(WireOpen), '\0');
  WireHeader h{WIRE_OPEN, 1, static_cast<uint32_t>(sizeof(WireOpen) + sizeof u"COM8:")};
  WireOpen o{GENERIC_READ | GENERIC_WRITE, 0};
  memcpy(open.data(), &h, sizeof h);
  memcpy(open.data() + sizeof h, &o, sizeof o);
  open.append(reinterpret_cast<const char*>(u"COM8:"), sizeof u"COM8:");
  ASSERT_EQ(write(greedy, open.data(), open.size()), static_cast<ssize_t>(open.size()));
  // Writes of 32 kB each, as fast as frxd takes them, never reading a reply.
  constexpr uint32_t kPayload = 32768;
  std::string request(sizeof(WireHeader) + kPayload, 'x');
  WireHeader w{WIRE_WRITE, 2, kPayload};
  memcpy(request.data(), &w, sizeof w);
  std::atomic<bool> stop{false};
  std::atomic<long> sent{0};
  std::thread sender([&] {
    while (!stop) {
      size_t done = 0;
      while (!stop && done < request.size()) {
        ssize_t n = send(greedy, request.data() + done, request.size() - done, MSG_NOSIGNAL);
        if (n > 0) done += static_cast<size_t>(n);
        else if (errno != EAGAIN && errno != EINTR) return;
      }
      sent += done == request.size();
    }
  });
  long most = before, served = 0;
  auto start = std::chrono::steady_clock::now();
  while (MsSince(start) < StressSeconds() * 1000) {
    most = std::max(most, ResidentKb(host));
    served += ServesBatches();
    usleep(100000);
  }
  stop = true;
  sender.join();
  close(greedy);
  EXPECT_GT(sent, 20) << "the client could not send at all";
  EXPECT_GT(served, 0) << "other clients were not served meanwhile";
  RecordProperty("frxd_rss_before_kb", static_cast<int>(before));
  RecordProperty("frxd_rss_most_kb", static_cast<int>(most));
  EXPECT_LT(most - before, 48 * 1024) << "frxd grew from " << before << " kB to " << most << " kB after " << sent
                                      << " requests";
  EXPECT_TRUE(ServesBatches());
}

namespace {

// CPU time (user and system) a process used, in clock ticks.
long CpuTicks(pid_t pid) {
  std::string stat = ReadWholeFile("/proc/" + std::to_string(pid) + "/stat");
  size_t end = stat.rfind(')');
  if (end == std::string::npos) return 0;
  std::istringstream fields(stat.substr(end + 2));
  std::string f;
  long utime = 0, stime = 0;
  for (int i = 3; i <= 15 && fields >> f; ++i) {
    if (i == 14) utime = atol(f.c_str());
    if (i == 15) stime = atol(f.c_str());
  }
  return utime + stime;
}

}  // namespace

TEST_F(HostCallsTest, AtTheDescriptorLimitTheHostWaitsIdleAndServesAgainWhenDescriptorsFree) {
  ASSERT_EQ(RegDeleteKeyW(HKEY_LOCAL_MACHINE, MAIN_KEY), ERROR_SUCCESS);  // as setup-root.sh leaves it
  pid_t host = StartHost();
  ASSERT_TRUE(ServesBatches());
  rlimit limit{};
  limit.rlim_cur = limit.rlim_max = static_cast<rlim_t>(ProcEntries("/proc/" + std::to_string(host) + "/fd") + 16);
  ASSERT_EQ(prlimit(host, RLIMIT_NOFILE, &limit, nullptr), 0);
  sockaddr_un a{};
  a.sun_family = AF_UNIX;
  strncpy(a.sun_path, (root_ + "/frxd.sock").c_str(), sizeof a.sun_path - 1);
  std::vector<int> held;
  for (int i = 0; i < 40; ++i) {
    int fd = socket(AF_UNIX, SOCK_STREAM, 0);
    if (connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
      close(fd);
      break;
    }
    held.push_back(fd);
  }
  ASSERT_TRUE(WaitFor([&] {
    return ReadWholeFile(root_ + "/Quorvale/Frxd.txt").find("no descriptor left") != std::string::npos;
  }, 10)) << "frxd never ran out of descriptors";
  const long ticks = CpuTicks(host);
  usleep(2000000);
  double share = static_cast<double>(CpuTicks(host) - ticks) / sysconf(_SC_CLK_TCK) / 2.0;
  EXPECT_LT(share, 0.25) << "frxd used " << share * 100 << " % of a core waiting for descriptors";
  for (int fd : held) close(fd);
  EXPECT_TRUE(WaitFor([&] { return ServesBatches(); }, 10)) << "frxd serves no one after descriptors came free";
}
