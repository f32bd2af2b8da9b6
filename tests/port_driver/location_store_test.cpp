// The last known position in the registry and the published tower positions.
#include "fix_builder.h"
#include "location_store.h"
#include "support/log.h"
#include "test_root.h"

namespace {

class LocationStoreTest : public TempRootTest {
 protected:
  void Publish(const char16_t* key, const char16_t* lat, const char16_t* lon, SYSTEMTIME when) {
    SetString(key, u"Latitude", lat);
    SetString(key, u"Longitude", lon);
    SetTime(key, u"LastTowerUpdateTime", when);
  }
  void SetTime(const char16_t* key, const char16_t* name, SYSTEMTIME when) {
    HKEY k;
    ASSERT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, key, 0, nullptr, 0, 0, nullptr, &k, nullptr), ERROR_SUCCESS);
    FILETIME ft;
    SystemTimeToFileTime(&when, &ft);
    RegSetValueExW(k, name, 0, REG_BINARY, reinterpret_cast<BYTE*>(&ft), 8);
    RegCloseKey(k);
  }
  WCHAR name_[16] = {};
};

}  // namespace

TEST_F(LocationStoreTest, GpsPositionsAreStoredOnlyInExistingKeysAndNeverAtZero) {
  SYSTEMTIME first = Utc(12, 0, 0);
  SaveGpsLocation(48.1, 11.5, &first);
  HKEY k;
  EXPECT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, CELL_TOWER_KEY, 0, 0, &k), ERROR_FILE_NOT_FOUND);
  SetDword(CELL_TOWER_KEY, u"MaxCells", 500);
  SetDword(MY_LOCATION_KEY, u"Other", 1);
  SYSTEMTIME t = Utc(12, 0, 1);
  SaveGpsLocation(48.1, -11.5, &t);
  FlushGpsLocation();
  EXPECT_EQ(GetString(CELL_TOWER_KEY, u"Latitude"), u"48.100000");
  EXPECT_EQ(GetString(MY_LOCATION_KEY, u"Longitude"), u"-11.500000");
  SYSTEMTIME later = Utc(12, 0, 2);
  SaveGpsLocation(0.0000001, 0.0000001, &later);
  FlushGpsLocation();
  EXPECT_EQ(GetString(CELL_TOWER_KEY, u"Latitude"), u"48.100000");
}

// The keys stay open from fix to fix: one deleted and made again by another program, or a
// registry reopened, is found again at the next fix, and nothing is written elsewhere.
TEST_F(LocationStoreTest, AKeyDeletedAndMadeAgainBetweenFixesGetsTheNextPosition) {
  SetDword(CELL_TOWER_KEY, u"MaxCells", 500);
  SetDword(MY_LOCATION_KEY, u"Other", 1);
  SYSTEMTIME t = Utc(12, 0, 1);
  SaveGpsLocation(48.1, 11.5, &t);
  ASSERT_EQ(GetString(CELL_TOWER_KEY, u"Latitude"), u"48.100000");
  ASSERT_EQ(RegDeleteKeyW(HKEY_LOCAL_MACHINE, CELL_TOWER_KEY), ERROR_SUCCESS);
  SetDword(CELL_TOWER_KEY, u"MaxCells", 400);
  t = Utc(12, 0, 2);
  SaveGpsLocation(48.2, 11.5, &t);
  FlushGpsLocation();
  EXPECT_EQ(GetString(CELL_TOWER_KEY, u"Latitude"), u"48.200000");
  EXPECT_EQ(GetString(MY_LOCATION_KEY, u"Latitude"), u"48.200000");
  PlatformRegistryClose();  // every handle forgotten
  t = Utc(12, 0, 3);
  SaveGpsLocation(48.3, 11.5, &t);
  FlushGpsLocation();
  EXPECT_EQ(GetString(CELL_TOWER_KEY, u"Latitude"), u"48.300000");
  EXPECT_EQ(GetString(MY_LOCATION_KEY, u"Latitude"), u"48.300000");
}

// A 10 Hz receiver's newest fix is written about once a second (by the fixes' own times); a
// position held back is written at the end of the run of fixes and before a tower position is
// weighed against it.
TEST_F(LocationStoreTest, AFastReceiversNewestFixIsStoredAboutOnceASecondAndNoneIsLeftBehind) {
  SetDword(CELL_TOWER_KEY, u"MaxCells", 500);
  SYSTEMTIME t = Utc(12, 0, 0);
  SaveGpsLocation(48.100, 11.5, &t);
  EXPECT_EQ(GetString(CELL_TOWER_KEY, u"Latitude"), u"48.100000");  // the first at once
  for (int i = 1; i < 9; ++i) {
    t.wMilliseconds = static_cast<WORD>(i * 100);
    SaveGpsLocation(48.100 + i * 0.001, 11.5, &t);
  }
  EXPECT_EQ(GetString(CELL_TOWER_KEY, u"Latitude"), u"48.100000");
  t.wMilliseconds = 900;
  SaveGpsLocation(48.109, 11.5, &t);
  EXPECT_EQ(GetString(CELL_TOWER_KEY, u"Latitude"), u"48.109000");
  t = Utc(12, 0, 1);
  SaveGpsLocation(48.110, 11.5, &t);
  FlushGpsLocation();  // the receiver lost its fix
  EXPECT_EQ(GetString(CELL_TOWER_KEY, u"Latitude"), u"48.110000");
  // A tower published between the stored fix and one held back is older than the newest fix.
  t.wMilliseconds = 200;
  SaveGpsLocation(48.111, 11.5, &t);
  SYSTEMTIME tower = Utc(12, 0, 1);
  tower.wMilliseconds = 100;
  Publish(CELL_TOWER_KEY, u"48.500000", u"9.250000", tower);
  FixRecord f{};
  EXPECT_EQ(LoadStoredLocation(&f, name_), 0);
  EXPECT_EQ(GetString(CELL_TOWER_KEY, u"Latitude"), u"48.111000");
  // The next second's fix is stored whenever it is read; a time that went back is stored too.
  t = Utc(12, 0, 2);
  t.wMilliseconds = 200;  // a second after the last
  SaveGpsLocation(48.112, 11.5, &t);
  EXPECT_EQ(GetString(CELL_TOWER_KEY, u"Latitude"), u"48.112000");
  t = Utc(11, 0, 0);
  SaveGpsLocation(48.113, 11.5, &t);
  EXPECT_EQ(GetString(CELL_TOWER_KEY, u"Latitude"), u"48.113000");
  // A receiver whose clock stands still: its positions are stored every two seconds all the same.
  PlatformSetManualTicks(true, 5000);
  SaveGpsLocation(48.114, 11.5, &t);
  FlushGpsLocation();  // written at the manual clock's tick
  PlatformAdvanceTicks(1000);
  SaveGpsLocation(48.115, 11.5, &t);
  EXPECT_EQ(GetString(CELL_TOWER_KEY, u"Latitude"), u"48.114000");
  PlatformAdvanceTicks(1000);
  SaveGpsLocation(48.116, 11.5, &t);
  EXPECT_EQ(GetString(CELL_TOWER_KEY, u"Latitude"), u"48.116000");
  PlatformSetManualTicks(false, 0);
}

TEST_F(LocationStoreTest, ANewerTowerPositionIsReturnedAsACellFix) {
  Publish(CELL_TOWER_KEY, u"48.500000", u"9.250000", Utc(12, 0, 5));
  SetString(CELL_TOWER_KEY, u"LastCell", u"123456789");
  SetTime(CELL_TOWER_KEY, u"LastGpsUpdateTime", Utc(12, 0, 0));
  FixRecord f{};
  f.SatelliteCount = 12;
  f.SatellitesInView = 12;
  ASSERT_EQ(LoadStoredLocation(&f, name_), 1);
  EXPECT_NEAR(f.Latitude, 48.5, 1e-5);
  EXPECT_NEAR(f.Longitude, 9.25, 1e-5);
  EXPECT_EQ(std::u16string(name_), u"123456789");
  EXPECT_EQ(f.SourceKind, SOURCE_CELL_OR_STORED);
  EXPECT_EQ(f.ValidFields, FIX_COMPLETE_BURST);
  EXPECT_EQ(f.UsedPrns[11], kCellTowerPrn);
  EXPECT_EQ(f.InViewPrns[11], kCellTowerPrn);
  EXPECT_EQ(f.InViewElevation[11], 45u);
  EXPECT_EQ(f.InViewSnr[11], 25u);
  EXPECT_EQ(f.SatelliteCount, 12u);  // 11 of its own and the pseudo-satellite
  EXPECT_FLOAT_EQ(f.Hdop, 10.0f);
  EXPECT_EQ(f.FixQuality, 1u);
}

TEST_F(LocationStoreTest, WithoutAStoredGpsTimeAnyTowerPositionCounts) {
  Publish(CELL_TOWER_KEY, u"1.000000", u"2.000000", Utc(1, 0, 0));
  FixRecord f{};
  EXPECT_EQ(LoadStoredLocation(&f, name_), 1);
}

TEST_F(LocationStoreTest, AnOlderTowerPositionFallsBackToMyLocation) {
  Publish(CELL_TOWER_KEY, u"48.500000", u"9.250000", Utc(12, 0, 0));
  SetTime(CELL_TOWER_KEY, u"LastGpsUpdateTime", Utc(12, 0, 0));  // not later: ignored
  FixRecord f{};
  EXPECT_EQ(LoadStoredLocation(&f, name_), 0);
  Publish(MY_LOCATION_KEY, u"0.000000", u"0.000000", Utc(12, 0, 9));
  EXPECT_EQ(LoadStoredLocation(&f, name_), 1);  // a zero position counts here
  EXPECT_EQ(std::u16string(name_), u"MyLocation");
  EXPECT_EQ(f.UsedPrns[11], kMyLocationPrn);
}

TEST_F(LocationStoreTest, AZeroCellPositionIsIgnored) {
  Publish(CELL_TOWER_KEY, u"0.000000", u"0.000000", Utc(12, 0, 5));
  FixRecord f{};
  f.Latitude = 7;
  EXPECT_EQ(LoadStoredLocation(&f, name_), 0);
  EXPECT_EQ(f.Latitude, 7);  // the record keeps its own position, never 0 N 0 E
}

TEST_F(LocationStoreTest, PositionsAreWrittenBeforeTheirTimeAndReadBetweenTwoReadsOfIt) {
  // A reader in another process then never pairs a new time with an old position.
  SetDword(CELL_TOWER_KEY, u"MaxCells", 500);
  SetLogName("FrxDriver");
  LogSetEnable(2);
  SYSTEMTIME t = Utc(12, 0, 1);
  SaveGpsLocation(48.1, 11.5, &t);
  Publish(CELL_TOWER_KEY, u"48.500000", u"9.250000", Utc(12, 0, 5));
  FixRecord f{};
  EXPECT_EQ(LoadStoredLocation(&f, name_), 1);
  SetLogName("FrxDriver");
  std::string log = ReadWholeFile(root_ + "/Quorvale/FrxDriver.txt");
  size_t lat = log.find("Write Latitude"), lon = log.find("Write Longitude"), time = log.find("Write LastGpsUpdateTime");
  ASSERT_NE(time, std::string::npos);
  EXPECT_LT(lat, time);
  EXPECT_LT(lon, time);
  size_t firstTime = log.find("Read LastTowerUpdateTime"), position = log.find("Read Latitude", firstTime);
  size_t secondTime = log.find("Read LastTowerUpdateTime", position);
  EXPECT_LT(firstTime, position);
  EXPECT_NE(secondTime, std::string::npos);
}
