// What the settings program shows of a fix record, the sky plot's geometry, and the compass
// calibration on the platform's scaled clock.
#include <gtest/gtest.h>
#include <atomic>
#include <cmath>
#include <cstring>
#include <thread>
#include "app_entry.h"
#include "calibration.h"
#include "settings_store/settings.h"
#include "sky_plot.h"
#include "status_reader.h"
#include "status_text.h"
#include "support/angles.h"
#include "test_root.h"

namespace {

FixRecord Record() {
  FixRecord r;
  memset(&r, 0, sizeof r);
  r.Version = 1;
  r.Size = sizeof r;
  return r;
}

TEST(SettingsStatus, LabelsAndLinesStayBoundedWhateverTheRecordHolds) {
  char label[kSourceLabelSize];
  EXPECT_STREQ(SourceLabel(5, label), "Frx COM4    ");
  EXPECT_STREQ(SourceLabel(1, label), "Frx Msapi  ");
  EXPECT_STREQ(SourceLabel(16, label), "Cell Tower");
  EXPECT_STREQ(SourceLabel(32, label), "LastKnown  ");
  EXPECT_STREQ(SourceLabel(0, label), "Un-Known    ");
  for (BYTE kind : {11, 15, 17, 255}) EXPECT_STREQ(SourceLabel(kind, label), "Err") << int(kind);
  EXPECT_STREQ(OrientationLabel(9), "Err");
  EXPECT_STREQ(FixLabel(3), "Err");

  StatusLines s;
  ClearStatusLines(&s);
  FixRecord r = Record();
  r.Latitude = -33.5;
  r.Longitude = NAN;
  r.FixType = 2;
  r.SatelliteCount = 7;
  r.SatellitesInView = 11;
  DecodeStatusRecord(&r, &s);
  EXPECT_STREQ(s.lines[LINE_LATITUDE], "Lat: 33.500000 S");
  EXPECT_STREQ(s.lines[LINE_LONGITUDE], "Lon: Err E");
  EXPECT_STREQ(s.lines[LINE_FIX], "3d Fix on 7 of 11 Sats");
  FixRecord wild = r;
  wild.Heading = wild.MagVariation = wild.Pdop = wild.Hdop = wild.Vdop = 3e38f;
  StatusLines cut;
  ClearStatusLines(&cut);
  DecodeStatusRecord(&wild, &cut);
  for (const auto& line : cut.lines) EXPECT_LT(strlen(line), static_cast<size_t>(kStatusLineSize));
  EXPECT_EQ(s.lines[LINE_COMPASS][0], 0);

  // With the compass in use the heading shown is the compass's, corrected by the variation;
  // a later record without it keeps the compass line and clears the readings.
  r.ValidFields = FIX_COMPASS_IN_USE;
  r.MagHeading = 10;
  r.MagVariation = 20;
  r.Heading = 90;
  r.Orientation = 3;
  DecodeStatusRecord(&r, &s);
  EXPECT_STREQ(s.lines[LINE_COMPASS], "Compass: 10.0, Orient: Port");
  EXPECT_STREQ(s.lines[LINE_HEADING], "Head: 350.0, dMag: 20.0");
  EXPECT_EQ(s.gpsCourse, 90.0);
  r = Record();
  DecodeStatusRecord(&r, &s);
  EXPECT_STREQ(s.lines[LINE_COMPASS], "Compass: 10.0, Orient: Port");
  EXPECT_EQ(s.compassReading, -1.0);
  EXPECT_EQ(s.gpsCourse, -1.0);

  char block[512];
  StatusTextBlock(s, "Driving", block, sizeof block);
  EXPECT_EQ(strncmp(block, "Un-Known        \nProfile: Driving         \nLat: ", 46), 0) << block;
  char tiny[8];
  EXPECT_EQ(StatusTextBlock(s, "Driving", tiny, sizeof tiny), 7);
}

TEST(SettingsStatus, SkyPlotScaleOrderAndClamping) {
  FixRecord r = Record();
  for (auto [largest, scale] : {std::pair{45u, 50}, {40u, 50}, {89u, 90}, {0u, 100}, {95u, 100}}) {
    r.InViewSnr[0] = largest;
    EXPECT_EQ(SnrScale(r), scale) << largest;
  }
  EXPECT_EQ(SnrScaleLabel(100), 99);

  SkyLayout l;
  LayoutSkyPlot(400, 600, &l);  // portrait: the plot on top, the bars below
  EXPECT_FALSE(l.landscape);
  EXPECT_EQ(l.margin, 24);
  EXPECT_EQ(l.radius, 176);
  EXPECT_GT(l.barTop, 2 * (l.radius + l.margin));
  LayoutSkyPlot(600, 400, &l);
  EXPECT_TRUE(l.landscape);
  EXPECT_GE(l.barLeft, 2 * (l.radius + l.margin));

  r = Record();
  r.InViewPrns[0] = 5;
  r.InViewElevation[0] = 400;  // out of range: on the circle, not beyond it
  r.InViewAzimuth[0] = 90;
  r.InViewSnr[0] = 300;
  r.InViewPrns[1] = 9;
  r.InViewElevation[1] = 45;
  r.InViewAzimuth[1] = 270;
  r.InViewSnr[1] = 30;
  r.UsedPrns[0] = 9;
  int x, y;
  ASSERT_TRUE(SatellitePoint(l, r, 0, &x, &y));
  EXPECT_LE(std::hypot(x - l.centreX, y - l.centreY), l.radius + 1.0);
  EXPECT_EQ(x, l.centreX);  // overhead (and beyond, clamped): the zenith at the centre
  EXPECT_EQ(y, l.centreY);
  FixRecord horizon = r;
  horizon.InViewElevation[0] = 0;  // on the horizon due east: on the rim
  ASSERT_TRUE(SatellitePoint(l, horizon, 0, &x, &y));
  EXPECT_EQ(x, l.centreX + l.radius);
  EXPECT_EQ(y, l.centreY);
  EXPECT_FALSE(SatellitePoint(l, r, 2, &x, &y));
  SkyBar bars[kMaxSatellites];
  SkyBars(l, r, bars);
  EXPECT_EQ(bars[0].prn, 9u);  // west of the other: first
  EXPECT_EQ(bars[1].prn, 5u);
  EXPECT_EQ(bars[1].height, l.barHeight);  // clamped to the scale
  EXPECT_EQ(bars[0].blue, 200);            // used in the fix
  EXPECT_EQ(bars[1].blue, 0);
  EXPECT_EQ(bars[5].prn, 0u);
  EXPECT_EQ(bars[5].slot, 5);
}

TEST(SettingsStatus, SatelliteNumbersAreNeverHidden) {
  // Twelve satellites in a tight cluster near the zenith, and two at the same place.
  FixRecord r = Record();
  for (int i = 0; i < kMaxSatellites; ++i) {
    r.InViewPrns[i] = static_cast<DWORD>(i + 1);
    r.InViewElevation[i] = static_cast<DWORD>(80 + i % 4);
    r.InViewAzimuth[i] = static_cast<DWORD>(i / 4 * 10);
  }
  r.InViewElevation[11] = r.InViewElevation[10];
  r.InViewAzimuth[11] = r.InViewAzimuth[10];
  SkyLayout l;
  LayoutSkyPlot(480, 640, &l);
  SkyLabel labels[kMaxSatellites];
  PlaceSkyLabels(l, r, 6, 24, 14, labels);
  int overlapping = 0;
  for (int i = 0; i < kMaxSatellites; ++i) {
    ASSERT_TRUE(labels[i].shown) << i;
    for (int j = i + 1; j < kMaxSatellites; ++j) {
      const SkyLabel &a = labels[i], &b = labels[j];
      overlapping += a.left < b.left + b.width && b.left < a.left + a.width && a.top < b.top + b.height &&
                     b.top < a.top + a.height;
    }
  }
  EXPECT_EQ(overlapping, 0);
}

TEST(SettingsStatus, OffsetsRoundHalfAwayFromZeroAndAnglesWrapOverNorth) {
  EXPECT_EQ(RoundOffset(AngleDifference(90.0, 100.0)), 10);
  EXPECT_EQ(RoundOffset(AngleDifference(90.0, 80.0)), -10);
  EXPECT_EQ(RoundOffset(-9.5), -10);
  EXPECT_EQ(RoundOffset(9.5), 10);
  EXPECT_EQ(RoundOffset(NAN), 0);
  EXPECT_DOUBLE_EQ(AngleDifference(355, 350), -5);
  EXPECT_DOUBLE_EQ(AngleDifference(355, 10), 15);
  EXPECT_DOUBLE_EQ(AngleSum(355, 5), 0);
}

// A run fed by a thread that plays the driver's records, on a fast platform clock.
class CalibrationTest : public TempRootTest {
 protected:
  void SetUp() override {
    TempRootTest::SetUp();
    PlatformSetTimeScale(20);
    StartSettingsLog();
    AppLoadAllSettings();
    AppFirstRunInit();
    g_System.SleepTime = 1000;
    g_Profile.MagVal = 3;
    g_Profile.MagLand = 4;
  }
  void TearDown() override {
    stop_ = true;
    if (feeder_.joinable()) feeder_.join();
    AbortCalibration();
    PlatformSetTimeScale(1);
    TempRootTest::TearDown();
  }
  // Records every 1000 ms of the platform's clock until stopped.
  void Feed(double compass, double course, BYTE orientation, int turnAfter = -1) {
    feeder_ = std::thread([=, this] {
      for (int n = 0; !stop_; ++n) {
        FixRecord r = Record();
        r.ValidFields = FIX_COMPASS_IN_USE;
        r.MagHeading = static_cast<float>(compass);
        r.Heading = static_cast<float>(course);
        r.Orientation = turnAfter >= 0 && n >= turnAfter ? 1 : orientation;
        AcceptStatusRecord(r);
        Sleep(1000);
      }
    });
  }
  CalibrationView WaitForEnd() {
    CalibrationView v;
    for (int i = 0; i < 400; ++i) {
      ReadCalibrationView(&v);
      if (v.finished) break;
      usleep(50000);
    }
    return v;
  }
  std::atomic<bool> stop_{false};
  std::thread feeder_;
};

TEST_F(CalibrationTest, ADriveNorthMeasuresTheOffsetOfThePortraitCompass) {
  Feed(10.0, 0.0, 3);  // due north: a course of 0 is a reading like any other
  ASSERT_EQ(StartCalibration(g_Profile.MagVal, g_Profile.MagLand), 1);
  EXPECT_EQ(g_Profile.MagVal, 0);  // measured with zero offsets
  CalibrationView v = WaitForEnd();
  ASSERT_TRUE(v.finished);
  EXPECT_EQ(v.state, CAL_COMPLETE);
  EXPECT_EQ(v.count, 10);
  ASSERT_EQ(TakeCalibrationResult(), 1);
  EXPECT_EQ(g_Profile.MagVal, 10);
  EXPECT_EQ(g_Profile.MagLand, 4);
}

TEST_F(CalibrationTest, TurningToLandscapeRestartsAndStoresTheLandscapeOffset) {
  Feed(80.0, 90.0, 3, 3);
  ASSERT_EQ(StartCalibration(g_Profile.MagVal, g_Profile.MagLand), 1);
  CalibrationView v = WaitForEnd();
  ASSERT_TRUE(v.finished);
  ASSERT_EQ(TakeCalibrationResult(), 1);
  EXPECT_EQ(g_Profile.MagLand, -10);
  EXPECT_EQ(g_Profile.MagVal, 3);
}

TEST_F(CalibrationTest, AbortAndASilentCompassRestoreTheKeptOffsets) {
  Feed(100.0, 90.0, 3);
  ASSERT_EQ(StartCalibration(g_Profile.MagVal, g_Profile.MagLand), 1);
  usleep(200000);
  AbortCalibration();
  EXPECT_EQ(g_Profile.MagVal, 3);
  EXPECT_EQ(g_Profile.MagLand, 4);
  stop_ = true;
  feeder_.join();
  // No reading at all: the run gives up after its ten seconds.
  ClearCalibrationReading();
  ASSERT_EQ(StartCalibration(g_Profile.MagVal, g_Profile.MagLand), 1);
  CalibrationView v = WaitForEnd();
  EXPECT_EQ(v.state, CAL_FAILED);
  EXPECT_EQ(v.count, 0);
  TakeCalibrationResult();
  EXPECT_EQ(g_Profile.MagVal, 3);
  EXPECT_EQ(g_Profile.MagLand, 4);
}

}  // namespace
