// The platform GPS library over gpsd: a receiver the test writes on a pseudo-terminal, read by a
// gpsd of the test's own, reaches GPSGetPosition field by field; ages, sizes, closes and a gpsd
// that goes away and comes back.
#include <cmath>
#include <set>
#include "gpsd_fixture.h"
#include "stress.h"
#include "platform/gps_api.h"

namespace {

typedef HANDLE (*OpenFn)(HANDLE, HANDLE, const WCHAR*, DWORD);
typedef DWORD (*CloseFn)(HANDLE);
typedef DWORD (*PositionFn)(HANDLE, GPS_POSITION*, DWORD, DWORD);
typedef DWORD (*StateFn)(GPS_DEVICE*);

class GpsdApiTest : public WithGpsd<DriverTest> {
 protected:
  void SetUp() override {
    WithGpsd::SetUp();
    StartReceiverAndGpsd();
    library_ = LoadLibraryW(u"gpsapiOrig.dll");
    ASSERT_TRUE(library_);
    open_ = reinterpret_cast<OpenFn>(GetProcAddressW(library_, u"GPSOpenDevice"));
    close_ = reinterpret_cast<CloseFn>(GetProcAddressW(library_, u"GPSCloseDevice"));
    position_ = reinterpret_cast<PositionFn>(GetProcAddressW(library_, u"GPSGetPosition"));
    state_ = reinterpret_cast<StateFn>(GetProcAddressW(library_, u"GPSGetDeviceState"));
    ASSERT_TRUE(open_ && close_ && position_ && state_);
  }
  // Waits for a position no older than `maxAge` with the fields of `want` into `p`.
  bool Position(HANDLE h, GPS_POSITION* p, DWORD maxAge = 2000, double seconds = 15,
                DWORD want = GPS_VALID_LATITUDE) {
    return WaitFor([&] {
      *p = GPS_POSITION{};
      p->dwVersion = GPS_VERSION_1;
      p->dwSize = sizeof *p;
      return position_(h, p, maxAge, 0) == ERROR_SUCCESS && (p->dwValidFields & want) == want;
    }, seconds);
  }
  HMODULE library_ = nullptr;
  OpenFn open_ = nullptr;
  CloseFn close_ = nullptr;
  PositionFn position_ = nullptr;
  StateFn state_ = nullptr;
};

}  // namespace

TEST_F(GpsdApiTest, GpsdsFixReachesThePositionRecordFieldByField) {
  HANDLE event = CreateEventW(nullptr, FALSE, FALSE, nullptr);
  HANDLE h = open_(event, nullptr, nullptr, 0);
  ASSERT_TRUE(h);
  GPS_POSITION p;
  // gpsd reports the fix and the DOPs in two messages: the first record may have only the fix.
  const DWORD all = GPS_VALID_UTC_TIME | GPS_VALID_LATITUDE | GPS_VALID_LONGITUDE | GPS_VALID_SPEED |
                    GPS_VALID_HEADING | GPS_VALID_MAGNETIC_VARIATION | GPS_VALID_ALTITUDE_WRT_SEA_LEVEL |
                    GPS_VALID_ALTITUDE_WRT_ELLIPSOID | GPS_VALID_POSITION_DILUTION_OF_PRECISION |
                    GPS_VALID_HORIZONTAL_DILUTION_OF_PRECISION | GPS_VALID_VERTICAL_DILUTION_OF_PRECISION;
  ASSERT_TRUE(Position(h, &p, 2000, 15, all)) << "no whole position from gpsd: " << std::hex << p.dwValidFields;
  EXPECT_EQ(WaitForSingleObject(event, 3000), WAIT_OBJECT_0);
  EXPECT_NEAR(p.dblLatitude, 48 + 7.038 / 60, 1e-7);
  EXPECT_NEAR(p.dblLongitude, 11 + 31.0 / 60, 1e-7);
  EXPECT_NEAR(p.flSpeed, 10.0, 1e-3);  // knots, through gpsd's metres a second
  EXPECT_NEAR(p.flHeading, 45.0, 1e-4);
  EXPECT_NEAR(p.dblMagneticVariation, 3.1, 1e-6);  // "3.1,W": west is positive in the record
  EXPECT_NEAR(p.flAltitudeWRTSeaLevel, 545.4, 1e-3);
  EXPECT_NEAR(p.flAltitudeWRTEllipsoid, 545.4 + 46.9, 1e-3);
  EXPECT_EQ(p.FixQuality, GPS_FIX_QUALITY_GPS);  // a plain fix: gpsd's report has no status
  EXPECT_EQ(p.FixType, GPS_FIX_3D);
  EXPECT_NEAR(p.flPositionDilutionOfPrecision, 1.8, 1e-5);
  EXPECT_NEAR(p.flHorizontalDilutionOfPrecision, 0.9, 1e-5);
  EXPECT_NEAR(p.flVerticalDilutionOfPrecision, 1.5, 1e-5);
  EXPECT_EQ(p.stUTCTime.wHour, 12);
  EXPECT_EQ(p.stUTCTime.wMilliseconds % 250, 0);
  EXPECT_EQ(p.stUTCTime.wYear, 2026);
  ASSERT_TRUE(WaitFor([&] {
    Position(h, &p);
    return p.dwSatellitesInView == 8;
  }, 10));
  EXPECT_EQ(p.dwSatelliteCount, 8u);
  std::set<DWORD> used(p.rgdwSatellitesUsedPRNs, p.rgdwSatellitesUsedPRNs + 8);
  EXPECT_EQ(used, (std::set<DWORD>{4, 5, 9, 12, 24, 25, 29, 31}));
  const DWORD bySignal[] = {31, 4, 5, 9, 12, 24, 25, 29};  // all used: by signal strength
  for (int i = 0; i < 8; ++i) EXPECT_EQ(p.rgdwSatellitesInViewPRNs[i], bySignal[i]) << i;
  EXPECT_EQ(p.rgdwSatellitesInViewSignalToNoiseRatio[0], 50u);
  EXPECT_EQ(p.rgdwSatellitesInViewElevation[0], 70u);
  GPS_DEVICE d{};
  d.dwVersion = GPS_VERSION_1;
  d.dwSize = sizeof d;
  EXPECT_EQ(state_(&d), ERROR_SUCCESS);
  EXPECT_EQ(d.dwDeviceState, static_cast<DWORD>(SERVICE_STATE_ON));
  EXPECT_EQ(close_(h), ERROR_SUCCESS);
  CloseHandle(event);
}

TEST_F(GpsdApiTest, AgesSizesAndClosesAreCheckedAndGpsdMayComeBack) {
  HANDLE state = CreateEventW(nullptr, FALSE, FALSE, nullptr);
  HANDLE h = open_(nullptr, state, nullptr, 0);
  GPS_POSITION p;
  ASSERT_TRUE(Position(h, &p));
  // Bad records are refused; a 376-byte record gets the position and a zeroed tail.
  EXPECT_EQ(position_(h, nullptr, INFINITE, 0), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
  GPS_POSITION small{};
  small.dwVersion = GPS_VERSION_1;
  small.dwSize = 100;
  EXPECT_EQ(position_(h, &small, INFINITE, 0), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
  struct {
    GPS_POSITION p;
    BYTE tail[32];
  } big;
  memset(&big, 0xAB, sizeof big);
  big.p.dwVersion = GPS_VERSION_1;
  big.p.dwSize = kGpsPositionBigSize;
  EXPECT_EQ(position_(h, &big.p, INFINITE, 0), ERROR_SUCCESS);
  EXPECT_EQ(big.p.dwSize, kGpsPositionBigSize);
  EXPECT_EQ(big.tail[0], 0);
  EXPECT_EQ(big.tail[31], 0);
  // A receiver that falls silent: the position ages, but INFINITE takes any.
  speaking_ = false;
  usleep(1500000);
  p.dwVersion = GPS_VERSION_1;
  p.dwSize = sizeof p;
  EXPECT_EQ(position_(h, &p, 1000, 0), 1u);
  EXPECT_EQ(position_(h, &p, INFINITE, 0), ERROR_SUCCESS);
  speaking_ = true;
  // gpsd goes away and comes back on the same port: the state event tells both, positions return.
  WaitForSingleObject(state, 0);
  Stop(gpsd_);
  EXPECT_EQ(WaitForSingleObject(state, 5000), WAIT_OBJECT_0);
  StartGpsd();
  EXPECT_EQ(WaitForSingleObject(state, 10000), WAIT_OBJECT_0);
  EXPECT_TRUE(Position(h, &p, 1000)) << "no position after gpsd came back";
  // A second close of a handle is refused and changes nothing.
  HANDLE other = open_(nullptr, nullptr, nullptr, 0);
  EXPECT_EQ(close_(h), ERROR_SUCCESS);
  EXPECT_EQ(close_(h), static_cast<DWORD>(ERROR_INVALID_HANDLE));
  EXPECT_TRUE(Position(other, &p, 1000));
  EXPECT_EQ(close_(other), ERROR_SUCCESS);
  CloseHandle(state);
}

TEST_F(GpsdApiTest, TheFixQualityFollowsTheReceiversFromPlainToRtkAndNoFix) {
  HANDLE h = open_(nullptr, nullptr, nullptr, 0);
  ASSERT_TRUE(h);
  struct Case {
    int gga;
    GPS_FIX_QUALITY want;
  };
  // 1 plain, 2 DGPS, 4 RTK fixed, 5 RTK float: a fix, differential from 2 on.
  for (Case c : {Case{1, GPS_FIX_QUALITY_GPS}, Case{2, GPS_FIX_QUALITY_DGPS}, Case{4, GPS_FIX_QUALITY_DGPS},
                 Case{5, GPS_FIX_QUALITY_DGPS}}) {
    quality_ = c.gga;
    GPS_POSITION p{};
    // gpsd may report a cycle's RMC alone first (a 2D fix): the whole cycle's report is 3D.
    EXPECT_TRUE(WaitFor([&] {
      return Position(h, &p, 1000, 1) && p.FixQuality == c.want && p.FixType == GPS_FIX_3D;
    }, 10))
        << "GGA quality " << c.gga << " gave quality " << p.FixQuality << ", type " << p.FixType;
  }
  // No fix: records keep coming (the time), with no position and no quality.
  quality_ = 0;
  GPS_POSITION p{};
  EXPECT_TRUE(WaitFor([&] {
    p = GPS_POSITION{};
    p.dwVersion = GPS_VERSION_1;
    p.dwSize = sizeof p;
    return position_(h, &p, INFINITE, 0) == ERROR_SUCCESS && !(p.dwValidFields & GPS_VALID_LATITUDE);
  }, 10));
  EXPECT_EQ(p.FixQuality, GPS_FIX_QUALITY_UNKNOWN);
  EXPECT_EQ(p.FixType, GPS_FIX_UNKNOWN);
  EXPECT_EQ(close_(h), ERROR_SUCCESS);
}

TEST_F(GpsdApiTest, OnlyANewFixSetsTheNewLocationEventNotTheSkyView) {
  HANDLE event = CreateEventW(nullptr, FALSE, FALSE, nullptr);
  HANDLE h = open_(event, nullptr, nullptr, 0);
  ASSERT_TRUE(h);
  GPS_POSITION p;
  ASSERT_TRUE(Position(h, &p, 2000, 15, GPS_VALID_LATITUDE | GPS_VALID_SATELLITES_IN_VIEW));
  // Four fixes a second, each followed by a sky view: an event per fix, each with a new time.
  int events = 0, sameTime = 0;
  WORD lastMs = 0xFFFF, lastSecond = 0xFFFF;
  DWORD start = GetTickCount();
  while (GetTickCount() - start < 3000) {
    if (WaitForSingleObject(event, 500) != WAIT_OBJECT_0) continue;
    ++events;
    ASSERT_TRUE(Position(h, &p));
    if (p.stUTCTime.wMilliseconds == lastMs && p.stUTCTime.wSecond == lastSecond) ++sameTime;
    lastMs = p.stUTCTime.wMilliseconds;
    lastSecond = p.stUTCTime.wSecond;
  }
  EXPECT_GE(events, 8);
  EXPECT_LE(events, 14) << "more events than fixes";
  EXPECT_LE(sameTime, 1) << "events without a new fix";
  EXPECT_EQ(close_(h), ERROR_SUCCESS);
  CloseHandle(event);
}

namespace {

void ExitOnSignal(int) { exit(0); }

}  // namespace

// The child of the test below, in a process of its own (FERROX_EXIT_CHILD "main" or "signal",
// FERROX_ROOT the parent's root): opens a handle, takes a position and ends with it open.
TEST(GpsdApiExitChild, EndsWithAHandleOpen) {
  const char* how = getenv("FERROX_EXIT_CHILD");
  if (!how) GTEST_SKIP() << "run by AProcessEndsCleanlyWithAHandleOpenFromMainOrFromASignalHandler";
  HMODULE library = LoadLibraryW(u"gpsapiOrig.dll");
  auto open = reinterpret_cast<OpenFn>(GetProcAddressW(library, u"GPSOpenDevice"));
  auto position = reinterpret_cast<PositionFn>(GetProcAddressW(library, u"GPSGetPosition"));
  HANDLE h = open ? open(nullptr, nullptr, nullptr, 0) : nullptr;
  if (!h) _exit(3);
  for (int i = 0; i < 1500; ++i) {
    GPS_POSITION p{};
    p.dwVersion = GPS_VERSION_1;
    p.dwSize = sizeof p;
    if (position(h, &p, INFINITE, 0) == ERROR_SUCCESS) break;
    usleep(10000);
  }
  if (strcmp(how, "signal") == 0) {
    signal(SIGTERM, ExitOnSignal);
    raise(SIGTERM);
  }
  exit(0);
}

TEST_F(GpsdApiTest, AProcessEndsCleanlyWithAHandleOpenFromMainOrFromASignalHandler) {
  for (const char* how : {"main", "signal"}) {
    std::string out;
    // exit() in a handler runs destructors in a signal, which ThreadSanitizer reports as such:
    // that is the program's choice, and what is tested is that the library survives it.
    std::string tsan = std::string(getenv("TSAN_OPTIONS") ? getenv("TSAN_OPTIONS") : "") + ":report_signal_unsafe=0";
    int status = RunCommand("TSAN_OPTIONS='" + tsan + "' FERROX_EXIT_CHILD=" + std::string(how) + " FERROX_ROOT=" + root_ +
                                " /proc/" + std::to_string(getpid()) +
                                "/exe --gtest_filter=GpsdApiExitChild.* 2>&1",
                            &out);
    EXPECT_EQ(status, 0) << "ended from " << how << ":\n" << out;
  }
}

TEST_F(GpsdApiTest, FourThreadsOpeningReadingAndClosingLeaveOneFeedAndNothingBehind) {
  // Warm up: sanitizers start threads of their own at a process's first thread.
  HANDLE first = open_(nullptr, nullptr, nullptr, 0);
  GPS_POSITION p;
  ASSERT_TRUE(Position(first, &p));
  ASSERT_EQ(close_(first), ERROR_SUCCESS);
  const int threads = ProcEntries("/proc/self/task"), descriptors = KernelDescriptors();
  GpsApiStress got = StressGpsApi(open_, position_, close_);
  EXPECT_GT(got.rounds, 20);
  EXPECT_EQ(got.failures, 0);
  EXPECT_GT(got.positions, 0);
  EXPECT_TRUE(WaitFor([&] { return ProcEntries("/proc/self/task") <= threads; }, 5))
      << ProcEntries("/proc/self/task") << " threads, " << threads << " before";
  EXPECT_LE(KernelDescriptors(), descriptors);
}
