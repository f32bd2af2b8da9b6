// The correction stage through the reader's processing: first fix, standstill, movement speed
// and course, projection, turn limit, stale data, lost fix and the port-loss reset.
#include <chrono>
#include <cmath>
#include <future>
#include <iterator>
#include "fix_builder.h"
#include "pipeline_harness.h"
#include "channel_internal.h"
#include "driver_internal.h"
#include "compass.h"
#include "port_driver/correction.h"
#include "port_driver/driver_state.h"
#include "port_driver/fix_pipeline.h"
#include "support/geodesy.h"
#include "location_store.h"
#include "settings_store/settings.h"
#include "support/clock.h"
#include "test_root.h"

namespace {

double Distance(double lat1, double lon1, double lat2, double lon2) {
  double bearing, d;
  GreatCircle(lat1 * DEG_TO_RAD, lon1 * DEG_TO_RAD, lat2 * DEG_TO_RAD, lon2 * DEG_TO_RAD, &bearing, &d);
  return d;
}

double Bearing(double lat1, double lon1, double lat2, double lon2) {
  double bearing, d;
  GreatCircle(lat1 * DEG_TO_RAD, lon1 * DEG_TO_RAD, lat2 * DEG_TO_RAD, lon2 * DEG_TO_RAD, &bearing, &d);
  return bearing;
}

// Metres east of (0, 0) along the equator, in degrees.
double East(double metres) { return metres / (EARTH_RADIUS_M * DEG_TO_RAD); }

class CorrectionTest : public TempRootTest {
 protected:
  void SetUp() override {
    TempRootTest::SetUp();
    ResetDriverSettings();
    SetProfileDefaults(1);
    g_Profile.LagAdvance = 0;
    g_System.EnableQuiet = 1;
    start_ = Utc(12, 0, 0);
    HarnessBegin(&start_, 4);
  }
  void TearDown() override {
    HarnessEnd();
    SetCompassReader(nullptr);
    g_Driver.CurrentPort = PORT_NONE;
    TempRootTest::TearDown();
  }
  // The fix of time `t` arrives `latency` ms after it; returns what is processed.
  FixRecord Feed(FixRecord f, LONG latency = 0) {
    SYSTEMTIME arrival = Later(f.UtcTime, latency);
    HarnessSetNow(&arrival);
    HarnessFeed(&f);
    return f;
  }
  FixRecord ReadAfter(DWORD ms) {
    HarnessAdvance(ms);
    FixRecord out{};
    HarnessRead(&out);
    return out;
  }
  SYSTEMTIME start_;
};

}  // namespace

TEST(Geodesy, BearingsDistancesAndDestinations) {
  double b, d;
  GreatCircle(0, 0, 0, 1 * DEG_TO_RAD, &b, &d);
  EXPECT_NEAR(b, 90, 1e-9);
  EXPECT_NEAR(d, 111120, 1e-6);
  GreatCircle(0, 0, 0, -1 * DEG_TO_RAD, &b, &d);
  EXPECT_NEAR(b, 270, 1e-9);
  GreatCircle(0, 0, 1 * DEG_TO_RAD, 0, &b, &d);
  EXPECT_NEAR(b, 0, 1e-9);
  GreatCircle(0, 0, -1 * DEG_TO_RAD, 0, &b, &d);
  EXPECT_NEAR(b, 180, 1e-9);
  GreatCircle(0, 0, 0, 0, &b, &d);
  EXPECT_EQ(b, 0);
  EXPECT_EQ(d, 0);
  double lat, lon;
  DestinationPoint(0, 179.9 * DEG_TO_RAD, 90 * DEG_TO_RAD, 0.2 * DEG_TO_RAD, &lat, &lon);
  EXPECT_NEAR(lat, 0, 1e-12);
  EXPECT_NEAR(lon * RAD_TO_DEG, -179.9, 1e-9);
  DestinationPoint(48 * DEG_TO_RAD, 11 * DEG_TO_RAD, 0, 100 / EARTH_RADIUS_M, &lat, &lon);
  EXPECT_NEAR(Distance(48, 11, lat * RAD_TO_DEG, lon * RAD_TO_DEG), 100, 1e-6);
  EXPECT_DOUBLE_EQ(MeanAngle(10, 50), 30);
  EXPECT_DOUBLE_EQ(MeanAngle(350, 30), 10);
  EXPECT_DOUBLE_EQ(MeanAngle(10, 330), 350);
}

TEST_F(CorrectionTest, TheFirstFixIsProjectedByItsAgeAndBeepsOnce) {
  g_System.EnableQuiet = 0;
  int beeps = PlatformBeepCount();
  Feed(GoodFix(start_, 0, 0, 36, 90));
  EXPECT_EQ(PlatformBeepCount(), beeps + 1);
  FixRecord out = ReadAfter(500);
  EXPECT_NEAR(Distance(0, 0, out.Latitude, out.Longitude), 5.0, 1e-6);  // 10 m/s x 0.5 s
  EXPECT_NEAR(Bearing(0, 0, out.Latitude, out.Longitude), 90, 1e-6);
  EXPECT_EQ(out.SourceKind, 5);  // COM4
  SYSTEMTIME now;
  ClockNow(&now);
  EXPECT_EQ(TimeDifference(&out.UtcTime, &now), 0);
  Feed(GoodFix(Later(start_, 1000), 0, East(10), 36, 90));
  EXPECT_EQ(PlatformBeepCount(), beeps + 1);
}

TEST_F(CorrectionTest, StandstillIsHeldUntilDeltaTimeThenReleased) {
  g_Profile.EnableSpeed = 1;
  Feed(GoodFix(start_, 0, 0, 0, 45));
  FixRecord second = Feed(GoodFix(Later(start_, 1000), 0, East(2), 3, 45));
  EXPECT_EQ(second.Latitude, 0);
  EXPECT_EQ(second.Longitude, 0);
  EXPECT_EQ(second.Speed, 0);
  EXPECT_EQ(TimeDifference(&start_, &second.UtcTime), 0);  // the time of the stop
  FixRecord out = ReadAfter(200);
  EXPECT_EQ(out.Longitude, 0);
  Feed(GoodFix(Later(start_, 2000), 0, East(2.5), 3, 45));
  FixRecord released = Feed(GoodFix(Later(start_, 3000), 0, East(2.2), 3, 45));
  EXPECT_NEAR(released.Longitude, East(2.2), 1e-12);  // held for DeltaTime: taken over
  EXPECT_EQ(released.Speed, 0);
}

TEST_F(CorrectionTest, PreferredReceiverSpeedIsOnlySmoothedBelowMinSpeed) {
  g_Profile.EnableSpeed = 2;
  Feed(GoodFix(start_, 0, 0, 30, 90));
  FixRecord fast = Feed(GoodFix(Later(start_, 1000), 0, East(1), 30, 90));
  EXPECT_EQ(fast.Longitude, East(1));
  EXPECT_FLOAT_EQ(fast.Speed, 30);
  FixRecord slow = Feed(GoodFix(Later(start_, 2000), 0, East(1.5), 0.5f, 90));
  EXPECT_EQ(slow.Speed, 0);
  EXPECT_EQ(slow.Longitude, East(1));  // held where it stood
}

TEST_F(CorrectionTest, MovementGivesSpeedAndBearing) {
  g_Profile.EnableSpeed = 1;
  g_Profile.EnableCourse = 1;
  Feed(GoodFix(start_, 0, 0, 5, 0));
  FixRecord f = GoodFix(Later(start_, 1000), 0, 0, 5, 0);
  f.Latitude = 10 / (EARTH_RADIUS_M * DEG_TO_RAD) * std::cos(30 * DEG_TO_RAD);
  f.Longitude = 10 / (EARTH_RADIUS_M * DEG_TO_RAD) * std::sin(30 * DEG_TO_RAD);
  FixRecord moved = Feed(f);
  EXPECT_NEAR(moved.Speed, 36.0, 1e-3);
  EXPECT_NEAR(moved.Heading, 30.0, 1e-3);
  // With the compass in use the course stays the receiver's.
  SetCompassReader([](BYTE* o, double* h) {
    *o = ORIENT_PORTRAIT;
    *h = 200.0;
  });
  FixRecord g = GoodFix(Later(start_, 2000), 0, 0, 5, 12);
  g.Latitude = f.Latitude * 2;
  g.Longitude = f.Longitude * 2;
  FixRecord withCompass = Feed(g);
  EXPECT_NEAR(withCompass.Speed, 36.0, 1e-3);
  EXPECT_FLOAT_EQ(withCompass.Heading, 12);
  EXPECT_TRUE(withCompass.ValidFields & FIX_COMPASS_IN_USE);
}

TEST_F(CorrectionTest, MovementSlowerThanTheMinimumSpeedIsNoSpeed) {
  g_Profile.EnableSpeed = 1;
  g_Profile.MinSpeed = 5;  // km/h
  g_Profile.DeltaDistance = 0.1;
  Feed(GoodFix(start_, 0, 0, 0, 0));
  FixRecord crawl = Feed(GoodFix(Later(start_, 1000), 0, East(1.0), 0, 0));  // 1 m in a second: 3.6 km/h
  EXPECT_EQ(crawl.Speed, 0.0f);
  FixRecord walk = Feed(GoodFix(Later(start_, 2000), 0, East(3.0), 0, 0));  // 2 m more: 7.2 km/h
  EXPECT_NEAR(walk.Speed, 7.2, 1e-3);
}

TEST(FixPipeline, DopsOutsideHalfToFiveBecomeOne) {
  FixRecord f{};
  const float in[] = {0.49f, 0.5f, 5.0f, 5.01f, 50.0f, 0.0f, 2.5f};
  const float out[] = {1.0f, 0.5f, 5.0f, 1.0f, 1.0f, 1.0f, 2.5f};
  for (size_t i = 0; i < std::size(in); ++i) {
    f.Pdop = f.Hdop = f.Vdop = in[i];
    ClampDops(&f);
    EXPECT_EQ(f.Pdop, out[i]) << in[i];
    EXPECT_EQ(f.Hdop, out[i]) << in[i];
    EXPECT_EQ(f.Vdop, out[i]) << in[i];
  }
}

TEST_F(CorrectionTest, TwoFixesWithTheSameTimeKeepTheReceiversSpeed) {
  g_Profile.EnableSpeed = 1;
  Feed(GoodFix(start_, 0, 0, 20, 90));
  FixRecord same = Feed(GoodFix(start_, 0, East(10), 20, 90));
  EXPECT_FLOAT_EQ(same.Speed, 20);
  EXPECT_TRUE(std::isfinite(same.Speed));
}

TEST_F(CorrectionTest, SteadyDriveIsProjectedByLagAndLagAdvance) {
  g_Profile.LagAdvance = 1500;
  g_Profile.DeltaSpeed = 10;
  Feed(GoodFix(start_, 0, 0, 50, 90));
  double lon1 = East(50 / 3.6);
  Feed(GoodFix(Later(start_, 1000), 0, lon1, 50, 90));
  FixRecord out = ReadAfter(400);
  // lag 400 + 1500 = 1900 ms, ratio 1.9, 50 km/h: 26.39 m along the course.
  EXPECT_NEAR(Distance(0, lon1, out.Latitude, out.Longitude), 26.39, 0.01);
  EXPECT_NEAR(Bearing(0, lon1, out.Latitude, out.Longitude), 90, 1e-6);
  // Below DeltaSpeed x HDOP the advance is not added.
  g_Profile.DeltaSpeed = 60;
  out = FixRecord{};
  HarnessRead(&out);
  EXPECT_NEAR(Distance(0, lon1, out.Latitude, out.Longitude), 50 / 3.6 * 0.4, 0.01);
}

TEST_F(CorrectionTest, ASharpTurnIsExtrapolatedByAtMostFortyFiveDegrees) {
  g_Profile.EnableCourse = 1;
  Feed(GoodFix(start_, 0, 0, 36, 0));
  Feed(GoodFix(Later(start_, 1000), 0.0001, 0, 36, 120));
  FixRecord out = ReadAfter(1000);  // lag 1000, ratio 1: turn 120 limited to 45
  EXPECT_NEAR(out.Heading, 165, 1e-3);
  EXPECT_NEAR(Bearing(0.0001, 0, out.Latitude, out.Longitude), MeanAngle(120, 165), 1e-3);
}

TEST_F(CorrectionTest, StaleDataReportTheLastKnownOrAStoredPosition) {
  Feed(GoodFix(start_, 10, 20, 0, 0));
  Feed(GoodFix(Later(start_, 1000), 10, 20, 0, 0));
  FixRecord unfixed{};
  unfixed.ValidFields = FIX_TIME;
  unfixed.UtcTime = Later(start_, 2000);
  Feed(unfixed);  // the fix is lost
  FixRecord out = ReadAfter(11000);
  EXPECT_EQ(out.Latitude, 10);
  EXPECT_EQ(out.Longitude, 20);
  EXPECT_EQ(out.SatelliteCount, 0u);
  EXPECT_EQ(out.ValidFields & FIX_SATELLITE_GROUP, 0u);
  // A cell position published after the last GPS fix wins.
  SetString(CELL_TOWER_KEY, u"LastCell", u"4711");
  SetString(CELL_TOWER_KEY, u"Latitude", u"48.500000");
  SetString(CELL_TOWER_KEY, u"Longitude", u"9.250000");
  HKEY k;
  ASSERT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, CELL_TOWER_KEY, 0, 0, &k), ERROR_SUCCESS);
  SYSTEMTIME tower = Later(start_, 5000);
  FILETIME ft;
  SystemTimeToFileTime(&tower, &ft);
  RegSetValueExW(k, u"LastTowerUpdateTime", 0, REG_BINARY, reinterpret_cast<BYTE*>(&ft), 8);
  RegCloseKey(k);
  out = ReadAfter(1000);
  EXPECT_NEAR(out.Latitude, 48.5, 1e-5);
  EXPECT_NEAR(out.Longitude, 9.25, 1e-5);
  EXPECT_EQ(out.SourceKind, SOURCE_CELL_OR_STORED);
  EXPECT_EQ(out.UsedPrns[11], kCellTowerPrn);
}

TEST_F(CorrectionTest, AFixLostForAMinuteReportsTheUnfixedData) {
  Feed(GoodFix(start_, 10, 20, 0, 0));
  Feed(GoodFix(Later(start_, 1000), 10, 20, 0, 0));
  FixRecord unfixed{};
  unfixed.ValidFields = FIX_TIME | FIX_DATE | FIX_IN_VIEW_GROUP;
  unfixed.SatellitesInView = 3;
  for (LONG t = 2000; t <= 71000; t += 1000) {
    unfixed.UtcTime = Later(start_, t);
    Feed(unfixed);
  }
  // The last fix before the loss went into LastGoodFix only while fixes kept coming; the
  // receiver still talks: 70 s after the fix the unfixed data are reported as they are.
  FixHistory h;
  GetFixHistory(&h);
  FixRecord out = ReadAfter(100);
  EXPECT_EQ(out.Latitude, 0);
  EXPECT_EQ(out.SatellitesInView, 3u);
  EXPECT_EQ(out.FixQuality, 0u);
}

TEST_F(CorrectionTest, AFixLostRecentlyCarriesTheLastGoodFixForward) {
  g_Profile.EnableSpeed = 1;
  Feed(GoodFix(start_, 0, 0, 36, 90));
  Feed(GoodFix(Later(start_, 1000), 0, East(10), 36, 90));
  Feed(GoodFix(Later(start_, 2000), 0, East(20), 36, 90));
  FixRecord unfixed{};
  unfixed.ValidFields = FIX_TIME | FIX_DATE;
  unfixed.UtcTime = Later(start_, 3000);
  Feed(unfixed);
  // LastGoodFix is the fix at 1 s, PrevFix the unfixed data at 3 s: lag = dms = 2000 ms.
  FixRecord out = ReadAfter(100);
  EXPECT_NEAR(Distance(0, East(10), out.Latitude, out.Longitude), 20, 0.01);
}

TEST_F(CorrectionTest, LosingThePortResetsTheHistory) {
  Feed(GoodFix(start_, 10, 20, 0, 0));
  Feed(GoodFix(Later(start_, 1000), 10, 20, 0, 0));
  g_Driver.CurrentPort = PORT_NOT_FOUND;
  FixRecord out = ReadAfter(2000);  // within DeltaTime + 2 s: still the fix
  EXPECT_EQ(out.Latitude, 10);
  EXPECT_EQ(out.FixQuality, 1u);
  out = ReadAfter(4000);  // 6 s after the last fix: reset
  EXPECT_EQ(out.Latitude, 10);  // the last good position
  FixHistory h;
  GetFixHistory(&h);
  EXPECT_EQ(h.HaveFirstFix, 0);
  EXPECT_EQ(h.LastGoodFix.SourceKind, 0);
  out = ReadAfter(1000);  // the zeroed unfixed record until the data are 10 s old
  EXPECT_EQ(out.Latitude, 0);
  EXPECT_EQ(out.FixQuality, 0u);
  out = ReadAfter(10000);
  EXPECT_EQ(out.Latitude, 10);
}

TEST_F(CorrectionTest, TheResetKeepsTheLastGoodPosition) {
  Feed(GoodFix(start_, 10, 20, 30, 40));
  ResetFixHistory();
  FixHistory h;
  GetFixHistory(&h);
  EXPECT_EQ(h.HaveFirstFix, 0);
  EXPECT_EQ(h.PrevFix.Latitude, 0);
  EXPECT_EQ(h.LastGoodFix.Latitude, 10);
  EXPECT_EQ(h.LastGoodFix.Speed, 0);
  EXPECT_EQ(h.LastGoodFix.SourceKind, SOURCE_LAST_KNOWN);
}

TEST_F(CorrectionTest, CompassAtStandstillGivesTheCourse) {
  g_Profile.MagVal = 5;
  g_Profile.MagLand = -7;
  SetCompassReader([](BYTE* o, double* h) {
    *o = ORIENT_LEFT_LANDSCAPE;
    *h = 100.0;
  });
  FixRecord f = GoodFix(start_, 0, 0, 0.5f, 10);
  EXPECT_EQ(ApplyCompass(&f, 1.0f), 1);
  EXPECT_FLOAT_EQ(f.MagVariation, -7);
  EXPECT_FLOAT_EQ(f.MagHeading, 100);
  EXPECT_EQ(f.ValidFields & 0x3800020u, 0x3800020u);
  EXPECT_EQ(f.Orientation, ORIENT_LEFT_LANDSCAPE);
  FixRecord moving = GoodFix(start_, 0, 0, 50, 350);
  ApplyCompass(&moving, 1.0f);
  EXPECT_FLOAT_EQ(moving.MagVariation, 110);
  EXPECT_EQ(moving.ValidFields & FIX_COURSE_FROM_COMPASS, 0u);
  SetCompassReader(nullptr);
  FixRecord none = GoodFix(start_, 0, 0, 0, 10);
  EXPECT_EQ(ApplyCompass(&none, 1.0f), 0);
  EXPECT_EQ(none.MagHeading, 0);
}

TEST_F(CorrectionTest, AnHonestStandstillReportsTheMeanAndLeavesOnlyOnConsistentMovement) {
  g_Profile.EnableSpeed = 2;
  g_Profile.HonestStill = 1;
  Feed(GoodFix(start_, 0, 0, 0.2f, 90));
  // Jitter of up to 4 m east and west around the start, the receiver saying it stands: no speed,
  // and the reported position is the mean of the standstill's positions.
  const double jitter[] = {4, -4, 3, -3, 4, -2};
  FixRecord f{};
  for (int i = 0; i < 6; ++i) f = Feed(GoodFix(Later(start_, 1000 * (i + 1)), 0, East(jitter[i]), 0.2f, 90));
  EXPECT_EQ(f.Speed, 0);
  const double mean = East((0 + 4 - 4 + 3 - 3 + 4 - 2) / 7.0);  // the stop and the six since
  EXPECT_NEAR(f.Longitude, mean, East(0.01));
  FixRecord out = ReadAfter(500);
  EXPECT_EQ(out.Speed, 0);
  EXPECT_NEAR(out.Longitude, mean, East(0.01));  // nothing is projected
  // One leap beyond the scatter is held; a second one the same way moves the standstill there.
  FixRecord first = Feed(GoodFix(Later(start_, 7000), 0, East(40), 0.2f, 90));
  EXPECT_NEAR(first.Longitude, mean, East(0.01));
  FixRecord second = Feed(GoodFix(Later(start_, 8000), 0, East(41), 0.2f, 90));
  EXPECT_NEAR(second.Longitude, East(41), East(0.01));
  EXPECT_EQ(second.Speed, 0);
  // The receiver's own speed above the minimum: the usual correction.
  FixRecord moving = Feed(GoodFix(Later(start_, 9000), 0, East(55), 50, 90));
  EXPECT_FLOAT_EQ(moving.Speed, 50);
  EXPECT_NEAR(moving.Longitude, East(55), East(0.01));
}

// A receiver's error wanders for tens of seconds: a long standstill averages all of it, not only
// its latest positions.
TEST_F(CorrectionTest, ALongHonestStandstillReportsTheMeanOfEveryPositionSinceTheStop) {
  g_Profile.EnableSpeed = 2;
  g_Profile.HonestStill = 1;
  Feed(GoodFix(start_, 0, East(1.5), 0.2f, 90));
  FixRecord f{};
  // 40 s drifting 1.5 m east of the spot, then 40 s 1.5 m west, jittering by 0.5 m.
  for (int i = 1; i < 80; ++i)
    f = Feed(GoodFix(Later(start_, 1000 * i), 0, East((i < 40 ? 1.5 : -1.5) + (i % 2 ? 0.5 : -0.5)), 0.2f, 90));
  EXPECT_EQ(f.Speed, 0);
  EXPECT_NEAR(f.Longitude, East(0.0), East(0.05));  // the latest 30 alone: 1.5 m west
}

TEST_F(CorrectionTest, AnHonestStandstillStartsAnewAfterTheFixWasLost) {
  g_Profile.EnableSpeed = 2;
  g_Profile.HonestStill = 1;
  Feed(GoodFix(start_, 0, 0, 0.2f, 90));
  for (int i = 1; i <= 3; ++i) Feed(GoodFix(Later(start_, 1000 * i), 0, East(i % 2 ? 2 : -2), 0.2f, 90));
  FixRecord lost = GoodFix(Later(start_, 4000), 0, 0, 0, 0);
  lost.FixType = 0;
  lost.FixQuality = 0;
  Feed(lost);
  // The fix comes back 500 m away: the old standstill's positions are no part of the new one.
  Feed(GoodFix(Later(start_, 5000), 0, East(500), 0.2f, 90));
  FixRecord again = Feed(GoodFix(Later(start_, 6000), 0, East(501), 0.2f, 90));
  EXPECT_NEAR(again.Longitude, East(500.5), East(0.01));
}

TEST_F(CorrectionTest, TheMeasuredLatencyReplacesLagAdvanceAndBoundsThePrediction) {
  g_Profile.LagAdvance = 1500;
  g_Profile.AutoLag = 1;
  const double step = 50 / 3.6;  // m per one-second fix
  auto burst = [&](int i, LONG late) {
    SYSTEMTIME t = Later(start_, 1000 * i);
    Feed(GoodFix(t, 0, East(step * i), 50, 90));
    SYSTEMTIME arrival = Later(t, late);
    return HarnessMeasure(&t, &arrival);
  };
  EXPECT_EQ(burst(0, 700), 1);
  EXPECT_EQ(burst(1, 700), 1);
  // Two samples are not yet trusted: LagAdvance, 400 + 1500 ms ahead.
  FixRecord out = ReadAfter(400);
  EXPECT_NEAR(Distance(0, East(step), out.Latitude, out.Longitude), step * 1.9, 0.01);
  EXPECT_EQ(burst(2, 700), 1);
  EXPECT_EQ(burst(3, -200), 0);   // a fix from the future is no latency
  EXPECT_EQ(burst(4, 9000), 0);   // nor nine seconds: another clock
  out = ReadAfter(400);
  EXPECT_NEAR(Distance(0, East(4 * step), out.Latitude, out.Longitude), step * 1.1, 0.01);
  // The receiver falls silent: four seconds on, the prediction is one interval plus the latency.
  out = ReadAfter(3600);
  EXPECT_NEAR(Distance(0, East(4 * step), out.Latitude, out.Longitude), step * 1.7, 0.01);
  // Without the mode the same silence runs on with the age.
  g_Profile.AutoLag = 0;
  out = FixRecord{};
  HarnessRead(&out);
  EXPECT_NEAR(Distance(0, East(4 * step), out.Latitude, out.Longitude), step * 5.5, 0.01);
}

TEST_F(CorrectionTest, WithoutTheOptionTheSameJitterBecomesSpeed) {
  // The default behaviour the option mends, pinned: jitter beyond DeltaDistance x HDOP is speed.
  g_Profile.EnableSpeed = 2;
  Feed(GoodFix(start_, 0, 0, 0.2f, 90));
  FixRecord f = Feed(GoodFix(Later(start_, 1000), 0, East(4), 0.2f, 90));
  EXPECT_NEAR(f.Speed, 14.4, 0.01);  // 4 m in a second
}

// A receiver silent for longer than the projection window: its last fix is carried 10 s along its
// course and no further, then stands there with speed 0 and says it is the last known one. With
// FallbackAsNoFix the same moment reports no fix at all.
TEST_F(CorrectionTest, AFixCarriedPastTheWindowStandsOrIsNoFix) {
  g_Profile.EnableSpeed = 1;
  Feed(GoodFix(start_, 0, 0, 36, 90));
  FixRecord last = Feed(GoodFix(Later(start_, 1000), 0, East(10), 36, 90));
  FixRecord out = ReadAfter(5000);  // within the window: projected and moving
  EXPECT_GT(out.Speed, 30.0f);
  EXPECT_EQ(out.SourceKind, 5);  // "Frx COM4"
  out = ReadAfter(25000);
  EXPECT_EQ(out.Speed, 0.0f);
  EXPECT_NEAR(out.Heading, 90, 1e-3);
  EXPECT_EQ(out.SourceKind, SOURCE_LAST_KNOWN);
  EXPECT_EQ(out.FixType, last.FixType);
  double stood = Distance(0, East(10), out.Latitude, out.Longitude);
  EXPECT_NEAR(stood, 100, 1);  // 10 s at 36 km/h
  EXPECT_NEAR(Distance(0, East(10), ReadAfter(20000).Latitude, ReadAfter(0).Longitude), stood, 0.01);
  g_Profile.FallbackAsNoFix = 1;
  out = ReadAfter(1000);
  EXPECT_EQ(out.FixQuality, 0u);
  EXPECT_EQ(out.FixType, 0u);
  EXPECT_EQ(out.Speed, 0.0f);
  EXPECT_EQ(out.SatelliteCount, 0u);
  // A fix the receiver reports lost is no fix at once, not the last good one carried.
  FixRecord unfixed{};
  unfixed.ValidFields = FIX_TIME | FIX_DATE;
  Feed(GoodFix(Later(start_, 60000), 0, 0, 36, 90));
  unfixed.UtcTime = Later(start_, 61000);
  Feed(unfixed);
  EXPECT_EQ(ReadAfter(100).FixQuality, 0u);
}

// The driver's clock set back (to a receiver's time behind the system's) never makes the fixes of
// one channel run back in time: the channel repeats its last fix until the clock passes it. The
// first fix after batches without one is sent at once, whatever their time.
TEST_F(CorrectionTest, AChannelsFixTimeNeverRunsBack) {
  struct ClockSetByFix {  // the driver's clock set by the receiver's fix, unset again at the end
    ClockSetByFix() { g_ClockSetByReceiver = true; }
    ~ClockSetByFix() { g_ClockSetByReceiver = false; }
  } clockSet;
  Feed(GoodFix(start_, 10, 20, 0, 0));
  char buffer[kChannelBufferSize];
  Channel c{};
  c.buffer = buffer;
  FixRecord sent{};
  auto batchTime = [&]() {
    GenerateBatch(c, true);
    memcpy(&sent, buffer, sizeof sent);
    FILETIME ft;
    EXPECT_TRUE(SystemTimeToFileTime(&sent.UtcTime, &ft));
    return FileTimeToU64(ft);
  };
  HarnessAdvance(500);
  ULONGLONG first = batchTime();
  SYSTEMTIME back = Later(start_, -3000);
  HarnessSetNow(&back);
  EXPECT_EQ(batchTime(), first);
  HarnessAdvance(4000);
  EXPECT_GT(batchTime(), first);
  // No fix for a minute, then a fix whose time lies before the batches without a fix.
  FixRecord noFix{};
  noFix.ValidFields = FIX_TIME | FIX_DATE;
  noFix.UtcTime = Later(start_, 10000);
  Feed(noFix);
  g_Profile.FallbackAsNoFix = 1;  // the batches say no fix, not the last position
  HarnessAdvance(60000);
  ULONGLONG unfixed = batchTime();
  EXPECT_EQ(sent.FixQuality, 0u);
  SYSTEMTIME again = Later(start_, 65000);
  HarnessSetNow(&again);
  Feed(GoodFix(again, 11, 21, 0, 0));
  EXPECT_LT(batchTime(), unfixed);
  EXPECT_EQ(sent.FixQuality, 1u);
  EXPECT_NEAR(sent.Latitude, 11, 1e-9);
  // The driver started afresh: until a fix sets the clock, a batch without a fix has no time at
  // all (the system clock it would carry runs ahead of the fix to come), and the writer prints none.
  g_ClockSetByReceiver = false;
  Feed(noFix);
  HarnessAdvance(60000);
  GenerateBatch(c, true);
  memcpy(&sent, buffer, sizeof sent);
  EXPECT_EQ(sent.ValidFields & (FIX_TIME | FIX_DATE), 0u);
  GenerateBatch(c, false);
  EXPECT_EQ(std::string(buffer).rfind("$GPRMC,,V,", 0), 0u) << buffer;
}

// A fix announced between two reads of a channel (before the read resets its event) ends the
// pacing wait at once: the program gets it now, not one reporting interval late.
TEST_F(CorrectionTest, AFixAnnouncedBetweenTwoReadsIsNeverMissed) {
  Feed(GoodFix(start_, 10, 20, 0, 0));
  g_System.SleepTime = 5000;  // a pacing interval well beyond the test's patience
  Channel& c = g_Channels[0];
  char buffer[kChannelBufferSize];
  c = Channel{};
  c.buffer = buffer;
  c.event = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  c.flags = CHANNEL_OPEN;
  BYTE out[kChannelBufferSize];
  DWORD first = ChannelRead(0, out, sizeof out);  // the first batch, unpaced
  ASSERT_GT(first, 0u);
  SignalChannels();  // the next fix, before the program reads again
  auto read = std::async(std::launch::async, [&] { return ChannelRead(0, out, sizeof out); });
  bool prompt = read.wait_for(std::chrono::seconds(2)) == std::future_status::ready;
  if (!prompt) {  // blocked in the pacing wait: released, so that the test ends
    AtomicWrite(&c.flags, 0);
    SetEvent(c.event);
  }
  EXPECT_TRUE(prompt);
  EXPECT_GT(read.get(), 0u);
  CloseHandle(c.event);
  c = Channel{};
}

// Smooth: fixes 3 m north and south of a road by turns, the receiver's own speed and course
// exact. Smoothed, the reported positions keep to the road within a third of the noise and
// keep pace along it; a fix far off the track (a jump) is taken as it is; without the option
// the noise stays whole.
TEST_F(CorrectionTest, SmoothingFollowsTheReceiversVelocityAndShrinksItsNoise) {
  const double north = 3 / (EARTH_RADIUS_M * DEG_TO_RAD);
  auto drive = [&](int from, int count) {
    double across = 0, along = 0;
    for (int i = from; i < from + count; ++i) {
      FixRecord f = Feed(GoodFix(Later(start_, 1000 * i), i % 2 ? north : -north, East(10.0 * i), 36, 90));
      across += std::fabs(f.Latitude) * EARTH_RADIUS_M * DEG_TO_RAD;
      along += std::fabs(f.Longitude - East(10.0 * i)) * EARTH_RADIUS_M * DEG_TO_RAD;
    }
    return std::make_pair(across / count, along / count);
  };
  g_Profile.Smooth = 1;
  drive(0, 10);  // the track settles
  auto [across, along] = drive(10, 20);
  EXPECT_LT(across, 1.0) << "the noise across the road";
  EXPECT_LT(along, 0.1) << "behind or ahead along it";
  // A fix 100 m off where the track says is no noise to smooth: taken as it is.
  FixRecord jump = Feed(GoodFix(Later(start_, 30000), 0, East(400), 36, 90));
  EXPECT_NEAR(jump.Longitude, East(400), East(0.01));
  g_Profile.Smooth = 0;
  auto [raw, rawAlong] = drive(31, 10);
  EXPECT_NEAR(raw, 3.0, 0.01);
  EXPECT_LT(rawAlong, 0.01);
}
