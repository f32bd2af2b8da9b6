// PosShim: the driver's records through the GPS API, against frxd and a simulated receiver; its
// own handles, the platform library behind them, and the checks on what callers pass.
#include "api_replacement/pos_shim.h"
#include "host_fixture.h"
#include "stress.h"

namespace {

GPS_POSITION Empty(DWORD size = sizeof(GPS_POSITION)) {
  GPS_POSITION p{};
  p.dwVersion = GPS_VERSION_1;
  p.dwSize = size;
  return p;
}

}  // namespace

TEST(PosShimConvert, TheDriversRecordInTheApisConventions) {
  FixRecord raw{};
  raw.Version = 1;
  raw.ValidFields = 0xFFFFFFFFu;
  raw.Orientation = 3;
  raw.SourceKind = 16;
  raw.Speed = 100;
  raw.MagVariation = 20;
  raw.MagHeading = 10;
  raw.AltitudeSeaLevel = 500;
  raw.Separation = 47;
  GPS_POSITION p;
  ConvertDriverRecord(&raw, &p);
  EXPECT_NEAR(p.flSpeed, 53.99568, 1e-4);
  EXPECT_FLOAT_EQ(p.flHeading, 350);  // course from the compass, made true
  EXPECT_DOUBLE_EQ(p.dblMagneticVariation, 20);
  EXPECT_FLOAT_EQ(p.flAltitudeWRTEllipsoid, 547);
  EXPECT_EQ(p.dwFlags, 0u);
  EXPECT_EQ(p.dwValidFields, 0x3FFFFu);
  EXPECT_EQ(p.dwSize, 344u);
}

TEST_F(HostTest, PosShimServesTheDriversPositionsAndRecoversWhenTheHostComesLater) {
  // Before frxd is up: handles open, positions are "no data".
  HANDLE event = CreateEventW(nullptr, FALSE, FALSE, nullptr);
  HANDLE h = GPSOpenDevice(event, nullptr, nullptr, 0);
  ASSERT_EQ(reinterpret_cast<uintptr_t>(h), kShimHandleBase);
  GPS_POSITION p = Empty();
  EXPECT_EQ(GPSGetPosition(h, &p, 2000, 0), 1u);
  StartHost();
  // Within 3 s of the host, without reopening, each second's position.
  DWORD start = GetTickCount();
  ASSERT_TRUE(WaitFor([&] {
    p = Empty();
    return GPSGetPosition(h, &p, 2000, 0) == ERROR_SUCCESS && (p.dwValidFields & GPS_VALID_LATITUDE);
  }, 30));
  EXPECT_LT(PlatformRealMs(GetTickCount() - start), 3000 + 1000);  // the host's own start is part of it
  EXPECT_NEAR(p.dblLatitude, 48.137, 0.05);
  EXPECT_EQ(WaitForSingleObject(event, 5000), WAIT_OBJECT_0);
  GPS_DEVICE d{};
  d.dwVersion = GPS_VERSION_1;
  d.dwSize = sizeof d;
  EXPECT_EQ(GPSGetDeviceState(&d), ERROR_SUCCESS);
  EXPECT_EQ(std::u16string(d.szGPSFriendlyName), u"FerroxDriver");
  EXPECT_EQ(std::u16string(d.szGPSMultiplexPrefix), u"COM8:");
  // What callers pass is checked; INFINITE takes any record; a big record's tail is zeroed.
  EXPECT_EQ(GPSGetPosition(h, nullptr, INFINITE, 0), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
  GPS_POSITION odd = Empty(100);
  EXPECT_EQ(GPSGetPosition(h, &odd, INFINITE, 0), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
  struct {
    GPS_POSITION p;
    BYTE tail[32];
  } big;
  memset(&big, 0xCD, sizeof big);
  big.p.dwVersion = GPS_VERSION_1;
  big.p.dwSize = kGpsPositionBigSize;
  EXPECT_EQ(GPSGetPosition(h, &big.p, INFINITE, 0), ERROR_SUCCESS);
  EXPECT_EQ(big.tail[0], 0);
  EXPECT_EQ(big.tail[31], 0);
  // A second close is refused and leaves the other handles served.
  HANDLE other = GPSOpenDevice(nullptr, nullptr, nullptr, 0);
  EXPECT_EQ(GPSCloseDevice(h), ERROR_SUCCESS);
  EXPECT_EQ(GPSCloseDevice(h), static_cast<DWORD>(ERROR_INVALID_HANDLE));
  Sleep(3000);  // the other handle still gets fresh positions
  p = Empty();
  EXPECT_EQ(GPSGetPosition(other, &p, 2000, 0), ERROR_SUCCESS);
  EXPECT_EQ(GPSCloseDevice(other), ERROR_SUCCESS);
  CloseHandle(event);
}

TEST_F(HostTest, TenHandlesOpenedAndClosedFiftyTimesLeaveNothingBehindAndAnEleventhPassesThrough) {
  SetString(u"Software\\Quorvale\\Gpsd", u"Port", u"1");  // no gpsd at that port
  pid_t host = StartHost();
  // A first open and close before counting: sanitizers start threads of their own at the first
  // thread a process makes.
  ASSERT_EQ(GPSCloseDevice(GPSOpenDevice(nullptr, nullptr, nullptr, 0)), ERROR_SUCCESS);
  const std::string hostFds = "/proc/" + std::to_string(host) + "/fd";
  ASSERT_TRUE(WaitFor([&] { return ProcEntries(hostFds) > 0; }));
  const int threads = ProcEntries("/proc/self/task"), handles = PlatformOpenHandleCount();
  int connections = ProcEntries(hostFds);  // frxd's descriptors: a channel's connection is one
  for (int round = 0; round < 50; ++round) {
    HANDLE h[kShimHandles];
    for (int i = 0; i < kShimHandles; ++i) ASSERT_TRUE(h[i] = GPSOpenDevice(nullptr, nullptr, nullptr, 0)) << round;
    if (round == 0) {
      // The eleventh goes to the platform library: gpsd's, which answers that gpsd is not there.
      SetLastError(0);
      EXPECT_EQ(GPSOpenDevice(nullptr, nullptr, nullptr, 0), nullptr);
      EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NOT_READY));
    }
    for (int i = 0; i < kShimHandles; ++i) ASSERT_EQ(GPSCloseDevice(h[i]), ERROR_SUCCESS);
  }
  EXPECT_TRUE(WaitFor([&] { return ProcEntries("/proc/self/task") <= threads; }, 5))
      << ProcEntries("/proc/self/task") << " threads, " << threads << " before";
  EXPECT_LE(PlatformOpenHandleCount(), handles);
  EXPECT_TRUE(WaitFor([&] { return ProcEntries(hostFds) <= connections; }, 5))
      << ProcEntries(hostFds) << " descriptors in frxd, " << connections << " before";
}

TEST_F(HostTest, FourThreadsOpeningReadingAndClosingRaceNoReaderAndLeakNothing) {
  SetString(u"Software\\Quorvale\\Gpsd", u"Port", u"1");  // no gpsd: every handle is PosShim's own
  pid_t host = StartHost();
  HANDLE first = GPSOpenDevice(nullptr, nullptr, nullptr, 0);
  ASSERT_TRUE(WaitFor([&] {
    GPS_POSITION p = Empty();
    return GPSGetPosition(first, &p, INFINITE, 0) == ERROR_SUCCESS;
  }, 30));
  ASSERT_EQ(GPSCloseDevice(first), ERROR_SUCCESS);
  const std::string hostFds = "/proc/" + std::to_string(host) + "/fd";
  const int threads = ProcEntries("/proc/self/task"), handles = PlatformOpenHandleCount();
  const int descriptors = KernelDescriptors(), connections = ProcEntries(hostFds);
  GpsApiStress got = StressGpsApi(GPSOpenDevice, GPSGetPosition, GPSCloseDevice);
  EXPECT_GT(got.rounds, 20);
  EXPECT_EQ(got.failures, 0);
  EXPECT_GT(got.positions, 0);
  EXPECT_TRUE(WaitFor([&] { return ProcEntries("/proc/self/task") <= threads; }, 5))
      << ProcEntries("/proc/self/task") << " threads, " << threads << " before";
  EXPECT_LE(PlatformOpenHandleCount(), handles);
  EXPECT_LE(KernelDescriptors(), descriptors);
  EXPECT_TRUE(WaitFor([&] { return ProcEntries(hostFds) <= connections; }, 5))
      << ProcEntries(hostFds) << " descriptors in frxd, " << connections << " before";
}
