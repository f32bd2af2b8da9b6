// The geoid table lookups and the per-port altitude correction.
#include <cmath>
#include <filesystem>
#include <fstream>
#include "fix_builder.h"
#include "geoid.h"
#include "settings_store/settings.h"
#include "support/log.h"
#include "test_root.h"

namespace {

class GeoidTest : public TempRootTest {
 protected:
  void SetUp() override {
    TempRootTest::SetUp();
    ResetDriverSettings();
    ResetGeoidState();
    std::filesystem::create_directories(root_ + "/Windows");
    table_ = ReadWholeFile(std::string(FERROX_SOURCE_DIR) + "/data/AltitudeTable_1.RAW");
    ASSERT_EQ(table_.size(), 65341u);
    std::filesystem::copy_file(std::string(FERROX_SOURCE_DIR) + "/data/AltitudeTable_1.RAW",
                               root_ + "/Windows/AltitudeTable_1.RAW");
  }
  int Byte(int row, int column) { return static_cast<signed char>(table_[static_cast<size_t>(row) * 361 + column]); }
  std::string table_;
};

FixRecord AltitudeFix(float altitude, float separation) {
  FixRecord f = GoodFix(Utc(12, 0, 0), 48.1, 11.5, 0, 0);
  f.AltitudeSeaLevel = altitude;
  f.Separation = separation;
  return f;
}

}  // namespace

TEST_F(GeoidTest, LookupsInterpolateBetweenGridNodes) {
  float s = 0;
  ASSERT_EQ(GetGeoid(10, 20, &s), 0);
  EXPECT_FLOAT_EQ(s, Byte(100, 200));
  ASSERT_EQ(GetGeoid(-0.5, -0.25, &s), 0);
  double south = (Byte(89, 180) - Byte(89, 179)) * 0.75 + Byte(89, 179);
  double north = (Byte(90, 180) - Byte(90, 179)) * 0.75 + Byte(90, 179);
  EXPECT_NEAR(s, (north - south) * 0.5 + south, 1e-5);
  ASSERT_EQ(GetGeoid(-90, 0, &s), 0);
  EXPECT_FLOAT_EQ(s, Byte(0, 180));
  ASSERT_EQ(GetGeoid(90, 180, &s), 0);  // 89.99, and longitude 180 is column 0
  EXPECT_NEAR(s, Byte(179, 0) + (Byte(180, 0) - Byte(179, 0)) * 0.99, 1e-4);
  ASSERT_EQ(GetGeoid(89.5, 179.5, &s), 0);  // the block at the north-east edge stays in the file
  ASSERT_EQ(GetGeoid(-89.5, -179.5, &s), 0);
  ASSERT_EQ(GetGeoid(NAN, INFINITY, &s), 0);
}

TEST_F(GeoidTest, AMissingTableSwitchesTheFeatureOff) {
  std::filesystem::remove(root_ + "/Windows/AltitudeTable_1.RAW");
  SetLogName("FrxDriver");
  LogSetEnable(1);
  float s = 123;
  EXPECT_EQ(GetGeoid(10, 20, &s), 1);
  EXPECT_EQ(s, 123);
  EXPECT_EQ(g_System.EnableAltSep, 0u);
  FixRecord f = AltitudeFix(500, 0);
  InjectSeparation(&f, 4);
  EXPECT_EQ(f.AltitudeSeaLevel, 500);
  EXPECT_EQ(f.ValidFields & FIX_ALTITUDE_GROUP, FIX_ALTITUDE_GROUP);
  SetLogName("FrxDriver");
  EXPECT_NE(ReadWholeFile(root_ + "/Quorvale/FrxDriver.txt").find("GetGeoid Can't load Index"), std::string::npos);
}

TEST_F(GeoidTest, TheStorageCardTableComesFirst) {
  SetString(u"\\System\\StorageManager\\Profiles\\SDMemory", u"Folder", u"Storage Card");
  std::filesystem::create_directories(root_ + "/Storage Card/Quorvale");
  std::string flat(65341, '\x07');
  { std::ofstream(root_ + "/Storage Card/Quorvale/AltitudeTable_1.RAW", std::ios::binary) << flat; }
  float s = 0;
  ASSERT_EQ(GetGeoid(10, 20, &s), 0);
  EXPECT_FLOAT_EQ(s, 7);
}

TEST_F(GeoidTest, ASerialPortWithoutSeparationBecomesTypeFour) {
  float s = 0;
  GetGeoid(48.1, 11.5, &s);
  FixRecord f;
  // The first two injections look the separation up and restart the port; the third takes
  // the references.
  for (int i = 0; i < 3; ++i) {
    f = AltitudeFix(600, 0);
    InjectSeparation(&f, 3);
    EXPECT_EQ(PortAltitudeType(3), ALT_UNKNOWN);
  }
  f = AltitudeFix(601, 0);
  InjectSeparation(&f, 3);
  ASSERT_EQ(PortAltitudeType(3), ALT_ELLIPSOID_IN_SEA_LEVEL);
  EXPECT_FLOAT_EQ(f.AltitudeSeaLevel, 601 - s);
  EXPECT_FLOAT_EQ(f.Separation, s);
}

TEST_F(GeoidTest, AnNmeaPortIsLeftAloneUnlessAskedToReplace) {
  FixRecord f;
  for (float alt : {500.0f, 500.0f, 500.0f, 501.0f}) {
    f = AltitudeFix(alt, alt - 450);  // both fields move together
    InjectSeparation(&f, 2);
  }
  ASSERT_EQ(PortAltitudeType(2), ALT_AS_NMEA);
  EXPECT_FLOAT_EQ(f.AltitudeSeaLevel, 501);
  EXPECT_FLOAT_EQ(f.Separation, 51);
  g_System.EnableAltSep = 2;
  f = AltitudeFix(502, 52);
  InjectSeparation(&f, 2);
  EXPECT_FLOAT_EQ(f.Separation, CurrentSeparation());
}

TEST_F(GeoidTest, ThePlatformApiReportsTheEllipsoidHeightBeside) {
  FixRecord f;
  for (float alt : {500.0f, 500.0f, 500.0f, 503.0f}) {
    f = AltitudeFix(alt, alt + 47);  // sea level and ellipsoid heights both change
    InjectSeparation(&f, 0);
  }
  ASSERT_EQ(PortAltitudeType(0), ALT_SEA_LEVEL_AND_ELLIPSOID);
  EXPECT_FLOAT_EQ(f.Separation, 47);
}

TEST_F(GeoidTest, UnfixedRecordsDoNotStartTheDetermination) {
  FixRecord f = AltitudeFix(500, 0);
  InjectSeparation(&f, 5);
  f.FixType = 0;
  f.AltitudeSeaLevel = 900;
  InjectSeparation(&f, 5);
  EXPECT_EQ(f.AltitudeSeaLevel, 900);
  EXPECT_EQ(PortAltitudeType(5), ALT_UNKNOWN);
}

TEST_F(GeoidTest, ARefreshTakesAFixedPositionAndNeverLetsAFixOutUncorrected) {
  float germany = 0, gulf = 0;
  GetGeoid(48.1, 11.5, &germany);
  GetGeoid(0, 0, &gulf);
  ASSERT_GT(std::fabs(germany - gulf), 20);
  FixRecord f;
  for (float alt : {600.0f, 600.0f, 600.0f, 601.0f}) {
    f = AltitudeFix(alt, 0);
    InjectSeparation(&f, 3);
  }
  ASSERT_EQ(PortAltitudeType(3), ALT_ELLIPSOID_IN_SEA_LEVEL);
  // Minutes without a fix: the refresh (every 256th injection) falls on unfixed records at 0 N 0 E.
  for (int i = 0; i < 600; ++i) {
    f = FixRecord{};
    InjectSeparation(&f, 3);
  }
  // Fixes again, across another refresh: every one corrected with Germany's separation.
  for (int i = 0; i < 600; ++i) {
    f = AltitudeFix(601, 0);
    InjectSeparation(&f, 3);
    ASSERT_FLOAT_EQ(f.AltitudeSeaLevel, 601 - germany) << i;
  }
  EXPECT_FLOAT_EQ(CurrentSeparation(), germany);
}
