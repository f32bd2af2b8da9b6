// PosClient: its messages to "GPD0:" (a device of the test here), and the whole way through the
// platform's GPD0: and the platform GPS library to a gpsd of the test's own.
// The connection to GPD0: lives as long as the process, as the library keeps it: each test runs in
// a process of its own under ctest.
#include <cstring>
#include <mutex>
#include <thread>
#include <vector>
#include "api_client/pos_client.h"
#include "gpsd_fixture.h"
#include "platform/gps_intermediate.h"

namespace {

std::mutex g_lock;
std::vector<std::string> g_messages;
int g_opens = 0;
bool g_refuse = false;

DWORD FakeInit(LPCWSTR, const void*) { return 1; }
BOOL FakeDeinit(DWORD) { return TRUE; }
DWORD FakeOpen(DWORD, DWORD, DWORD) {
  std::lock_guard<std::mutex> lock(g_lock);
  ++g_opens;
  usleep(20000);  // slow enough for a second thread's first call to open its own handle
  return 1;
}
BOOL FakeClose(DWORD) { return TRUE; }
BOOL FakeIoControl(DWORD, DWORD code, BYTE* in, DWORD inLength, BYTE*, DWORD, DWORD*) {
  std::lock_guard<std::mutex> lock(g_lock);
  if (code != IOCTL_GPSID_CALL) return FALSE;
  g_messages.emplace_back(reinterpret_cast<char*>(in), inLength);
  GpsidMessage m{};
  memcpy(&m, in, inLength < sizeof m ? inLength : sizeof m);
  if (m.operation == GPSID_OPEN_DEVICE && !g_refuse) *reinterpret_cast<DWORD*>(m.argument[4]) = 0x1234;
  if (g_refuse) SetLastError(ERROR_NOT_READY);
  return !g_refuse;
}

class PosClientGpsdTest : public WithGpsd<DriverTest> {};

}  // namespace

TEST(PosClientMessages, EachCallIsOneMessageAndTheFirstCallsShareOneConnection) {
  static const StreamEntryPoints entries = {FakeInit, FakeDeinit, FakeOpen, FakeClose, nullptr,
                                            nullptr,  nullptr,    FakeIoControl, nullptr, nullptr};
  HANDLE registration = PlatformRegisterDevice(u"GPD", 0, &entries, 1, FALSE);
  ASSERT_TRUE(registration);
  // Two threads make their first calls at once: one connection stays.
  std::thread a([] { GPSCloseDevice(reinterpret_cast<HANDLE>(7)); });
  std::thread b([] { GPSCloseDevice(reinterpret_cast<HANDLE>(8)); });
  a.join();
  b.join();
  EXPECT_LE(g_opens, 2);
  int before = PlatformOpenHandleCount();
  EXPECT_EQ(GPSCloseDevice(reinterpret_cast<HANDLE>(0xABCD)), ERROR_SUCCESS);
  EXPECT_EQ(PlatformOpenHandleCount(), before);  // no handle of a losing first call is left
  std::string close = g_messages.back();
  ASSERT_EQ(close.size(), 16u);
  EXPECT_EQ(close[0], 2);
  EXPECT_EQ(close[2], 0);  // the reserved word is zero
  DWORD handle;
  memcpy(&handle, close.data() + 8, 4);
  EXPECT_EQ(handle, 0xABCDu);
  EXPECT_EQ(GPSOpenDevice(nullptr, nullptr, nullptr, 0), reinterpret_cast<HANDLE>(0x1234));
  EXPECT_EQ(g_messages.back().size(), 48u);
  GPS_POSITION p{};
  EXPECT_EQ(GPSGetPosition(reinterpret_cast<HANDLE>(5), &p, 1000, 0), ERROR_SUCCESS);
  EXPECT_EQ(g_messages.back().size(), 40u);
  uint64_t pointer;
  memcpy(&pointer, g_messages.back().data() + 16, 8);
  EXPECT_EQ(pointer, reinterpret_cast<uintptr_t>(&p));  // the whole pointer, not 4 bytes of it
  g_refuse = true;  // the driver refuses: open gives null, the others the error
  EXPECT_EQ(GPSOpenDevice(nullptr, nullptr, nullptr, 0), nullptr);
  EXPECT_EQ(GPSCloseDevice(reinterpret_cast<HANDLE>(1)), static_cast<DWORD>(ERROR_NOT_READY));
  PlatformDeregisterDevice(registration);
}

TEST_F(PosClientGpsdTest, PositionsComeThroughThePlatformsIntermediateDriverFromGpsd) {
  StartReceiverAndGpsd();
  HANDLE h = GPSOpenDevice(nullptr, nullptr, nullptr, 0);
  ASSERT_TRUE(h);
  GPS_POSITION p{};
  ASSERT_TRUE(WaitFor([&] {
    p = GPS_POSITION{};
    p.dwVersion = GPS_VERSION_1;
    p.dwSize = sizeof p;
    return GPSGetPosition(h, &p, 2000, 0) == ERROR_SUCCESS && (p.dwValidFields & GPS_VALID_LATITUDE);
  }, 15));
  EXPECT_NEAR(p.dblLatitude, 48 + 7.038 / 60, 1e-7);
  EXPECT_NEAR(p.flSpeed, 10.0, 1e-3);
  GPS_DEVICE d{};
  d.dwVersion = GPS_VERSION_1;
  d.dwSize = sizeof d;
  EXPECT_EQ(GPSGetDeviceState(&d), ERROR_SUCCESS);
  EXPECT_EQ(d.dwDeviceState, static_cast<DWORD>(SERVICE_STATE_ON));
  EXPECT_EQ(GPSCloseDevice(h), ERROR_SUCCESS);
  // The device refuses what is not a call it knows.
  HANDLE gpd = CreateFileW(u"GPD0:", GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(gpd, INVALID_HANDLE_VALUE);
  GpsidMessage m{};
  m.operation = 9;
  EXPECT_FALSE(DeviceIoControl(gpd, IOCTL_GPSID_CALL, &m, 16, nullptr, 0, nullptr, nullptr));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NOT_SUPPORTED));
  m.operation = GPSID_CLOSE_DEVICE;
  EXPECT_FALSE(DeviceIoControl(gpd, IOCTL_GPSID_CALL, &m, 12, nullptr, 0, nullptr, nullptr));  // a 4-byte slot: too short
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
  CloseHandle(gpd);
}

TEST_F(PosClientGpsdTest, TheWatchToolPrintsGpsdsPositionsThroughTheClientAndThePlatformLibrary) {
  StartReceiverAndGpsd();
  for (const char* library : {"--client", "--platform"}) {
    std::string out;
    ASSERT_EQ(RunCommand("timeout 30 " + std::string(FERROX_GPSAPI_TOOL) + " --root " + root_ + " watch " + library +
                             " --count 3 2>&1",
                         &out),
              0)
        << out;
    int lines = 0;
    for (size_t at = 0; (at = out.find("12:", at)) != std::string::npos; ++at) ++lines;
    EXPECT_EQ(lines, 3) << out;
    // 10 knots, as gpsd rounds its metres a second (5.144)
    EXPECT_NE(out.find(" 48.1173000 11.5166667 9.999 45.0 3D 8 Q1\n"), std::string::npos) << library << "\n" << out;
  }
}
