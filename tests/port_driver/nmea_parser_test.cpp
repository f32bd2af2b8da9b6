// The NMEA parser: fields, coordinates, each sentence type and the satellites in view.
#include <atomic>
#include <cmath>
#include <cstring>
#include <thread>
#include "port_driver/nmea_parser.h"
#include "support/angles.h"
#include "support/clock.h"
#include "test_root.h"

namespace {
FixRecord Parse(std::initializer_list<const char*> sentences) {
  FixRecord f{};
  for (const char* s : sentences) ParseNmeaSentence(s, &f);
  return f;
}
}  // namespace

TEST(NmeaFields, SplittingCutsLongFieldsAndStopsAtTheLimits) {
  EXPECT_EQ(SplitFields(""), 0);
  EXPECT_EQ(SplitFields("$GPGGA,1,,3*47\r\n"), 4);
  EXPECT_STREQ(FieldText(4, 2), "");
  EXPECT_STREQ(FieldText(4, 3), "3");
  EXPECT_EQ(SplitFields("$GPXXX,a,b,"), 3);  // a final ',' adds no empty field
  EXPECT_EQ(SplitFields("$GPXXX,a,b,\r\n"), 4);
  EXPECT_EQ(SplitFields("$GPXXX,12345678901234567890,x"), 3);
  EXPECT_STREQ(FieldText(3, 1), "123456789012345");
  std::string thirty = "$GPXXX";
  for (int i = 1; i < 30; ++i) {
    thirty += ',';
    thirty += std::to_string(i);
  }
  EXPECT_EQ(SplitFields(thirty.c_str()), 24);
  EXPECT_EQ(FieldInt(24, 23), 23);
  EXPECT_EQ(FieldInt(24, 24), 0);  // beyond the count: the default
  EXPECT_EQ(SplitFields("$GPXXX,99999999999999,-99999999999999,1e300,abc"), 5);
  EXPECT_EQ(FieldInt(5, 1), 2147483647);
  EXPECT_EQ(FieldInt(5, 2), -2147483647 - 1);
  EXPECT_TRUE(std::isinf(FieldFloat(5, 3)));
  EXPECT_EQ(FieldInt(5, 4), 0);
}

TEST(NmeaFields, SentenceTypesAndAngles) {
  EXPECT_EQ(GetSentenceType("$GPGSV,1"), NMEA_GSV);
  EXPECT_EQ(GetSentenceType("$GPGGA,1"), NMEA_GGA);
  EXPECT_EQ(GetSentenceType("$GPVTG"), NMEA_VTG);
  EXPECT_EQ(GetSentenceType("$GPRMC,"), NMEA_RMC);
  EXPECT_EQ(GetSentenceType("$GPGSA,"), NMEA_GSA);
  EXPECT_EQ(GetSentenceType("$PGRMT,"), NMEA_PGRMT);
  EXPECT_EQ(GetSentenceType("$GNGGA,"), NMEA_OTHER);
  EXPECT_EQ(GetSentenceType("$gpgga,"), NMEA_OTHER);
  EXPECT_EQ(GetSentenceType("$GP"), NMEA_OTHER);
  EXPECT_NEAR(DdmmToDegrees(4807.038), 48.1173, 1e-12);
  EXPECT_NEAR(DdmmToDegrees(1131.000), 11.516666666666667, 1e-12);
  EXPECT_DOUBLE_EQ(AngleDifference(350, 10), 20);
  EXPECT_DOUBLE_EQ(AngleDifference(10, 350), -20);
  EXPECT_DOUBLE_EQ(AngleSum(350, 20), 10);
  EXPECT_DOUBLE_EQ(AngleSum(10, -20), 350);
  EXPECT_EQ(AnglesDiffer(1.0, 1.05), 0);
  EXPECT_EQ(AnglesDiffer(1.0, 1.1), 1);
  EXPECT_EQ(AnglesDiffer(NAN, 1.0), 1);
}

TEST(NmeaParser, GgaWithAFix) {
  FixRecord f = Parse({"$GPGGA,123519.50,4807.038,N,01131.000,E,1,08,0.9,545.4,M,46.9,M,,*47"});
  EXPECT_EQ(f.UtcTime.wHour, 12);
  EXPECT_EQ(f.UtcTime.wMinute, 35);
  EXPECT_EQ(f.UtcTime.wSecond, 19);
  EXPECT_EQ(f.UtcTime.wMilliseconds, 500);
  EXPECT_NEAR(f.Latitude, 48.1173, 1e-9);
  EXPECT_NEAR(f.Longitude, 11.516666666, 1e-9);
  EXPECT_EQ(f.FixQuality, 1u);
  EXPECT_EQ(f.SatelliteCount, 8u);
  EXPECT_FLOAT_EQ(f.Hdop, 0.9f);
  EXPECT_FLOAT_EQ(f.AltitudeSeaLevel, 545.4f);
  EXPECT_FLOAT_EQ(f.Separation, 46.9f);
  EXPECT_EQ(f.ValidFields, 0xAC7u);
}

TEST(NmeaParser, GgaWithoutAFixKeepsThePosition) {
  FixRecord f{};
  f.Latitude = 1.5;
  f.Longitude = 2.5;
  ParseNmeaSentence("$GPGGA,095257.809,2712.6404,S,15303.1201,E,0,00,,,M,,M,,*5B", &f);
  EXPECT_EQ(f.ValidFields, 0xAC7u);
  EXPECT_DOUBLE_EQ(f.Latitude, 1.5);
  EXPECT_DOUBLE_EQ(f.Longitude, 2.5);
  EXPECT_EQ(f.UtcTime.wMilliseconds, 809);
}

TEST(NmeaParser, MillisecondsSurviveBinaryFractions) {
  for (int ms = 0; ms < 1000; ++ms) {
    char s[64];
    snprintf(s, sizeof s, "$GPGGA,095255.%03d,,,,,0", ms);
    FixRecord f = Parse({s});
    ASSERT_EQ(f.UtcTime.wMilliseconds, ms) << s;
    ASSERT_EQ(f.UtcTime.wSecond, 55);
  }
}

TEST(NmeaParser, RmcWithStatusAStoresPositionSpeedCourseAndVariation) {
  FixRecord f = Parse({"$GPRMC,225446,A,4916.45,N,12311.12,W,000.5,054.7,191194,020.3,E*68"});
  EXPECT_EQ(f.UtcTime.wYear, 2094);  // the year is always taken as 20yy
  EXPECT_EQ(f.UtcTime.wMonth, 11);
  EXPECT_EQ(f.UtcTime.wDay, 19);
  EXPECT_EQ(f.UtcTime.wHour, 22);
  EXPECT_NEAR(f.Latitude, 49.274166666, 1e-8);
  EXPECT_NEAR(f.Longitude, -123.18533333, 1e-8);
  EXPECT_FLOAT_EQ(f.Speed, 0.5f * 1.852f);
  EXPECT_FLOAT_EQ(f.Heading, 54.7f);
  EXPECT_FLOAT_EQ(f.MagVariation, -20.3f);
  EXPECT_NEAR(f.MagHeading, 34.4, 1e-4);
  EXPECT_EQ(f.ValidFields, 0x104003Fu);
}

TEST(NmeaParser, EastVariationFoldsTheMagneticCourse) {
  FixRecord f = Parse({"$GPRMC,120000,A,0000.00,N,00000.00,E,1.0,2.0,010126,3.1,E*00"});
  EXPECT_FLOAT_EQ(f.MagVariation, -3.1f);
  EXPECT_NEAR(f.MagHeading, 358.9, 1e-4);
}

TEST(NmeaParser, RmcWithStatusVStoresNothingButTheBits) {
  FixRecord f = Parse({"$GPRMC,095255.810,V,2712.6404,S,15303.1201,E,5.0,10.0,080407,,,N*00"});
  EXPECT_EQ(f.ValidFields, 0x4001Fu);
  EXPECT_EQ(f.Latitude, 0.0);
  EXPECT_EQ(f.Speed, 0.0f);
  EXPECT_EQ(f.Heading, 0.0f);
  EXPECT_EQ(f.UtcTime.wMilliseconds, 810);
}

TEST(NmeaParser, EmptyDateOrMidnightTakesTheClocksNow) {
  PlatformSetManualTicks(true, 1000);
  SetClockBase(0);
  SYSTEMTIME now;
  ClockNow(&now);
  FixRecord f = Parse({"$GPRMC,123456.00,A,4916.45,N,12311.12,W,0.0,0.0,,,*00"});
  EXPECT_EQ(f.ValidFields & 0x40001u, 0x40001u);
  EXPECT_EQ(f.UtcTime.wDay, now.wDay);
  EXPECT_EQ(f.UtcTime.wHour, now.wHour);  // the time of field 1 is discarded
  EXPECT_EQ(f.UtcTime.wMinute, now.wMinute);
  FixRecord g = Parse({"$GPGGA,000000.00,4807.038,N,01131.000,E,1,08,0.9,545.4,M,46.9,M,,"});
  EXPECT_EQ(g.ValidFields & 0x40001u, 0x40001u);
  EXPECT_EQ(g.UtcTime.wYear, now.wYear);
  PlatformSetManualTicks(false, 0);
}

TEST(NmeaParser, VtgSpeedsCoursesAndMagneticTrack) {
  FixRecord f{};
  f.Speed = 7.0f;
  ParseNmeaSentence("$GPVTG,0.0,T,,M,0.0,N,0.0,K,A*00", &f);
  EXPECT_FLOAT_EQ(f.Speed, 7.0f);  // both speeds 0: kept
  EXPECT_EQ(f.ValidFields, 0x18u);
  ParseNmeaSentence("$GPVTG,054.7,T,034.4,M,005.5,N,010.2,K*48", &f);
  EXPECT_FLOAT_EQ(f.Speed, 10.2f);
  EXPECT_FLOAT_EQ(f.Heading, 54.7f);
  EXPECT_FLOAT_EQ(f.MagHeading, 34.4f);
  EXPECT_NEAR(f.MagVariation, -20.3, 1e-4);
  EXPECT_EQ(f.ValidFields, 0x1000038u);
  ParseNmeaSentence("$GPVTG,,T,,M,2.0,N,,K*48", &f);
  EXPECT_FLOAT_EQ(f.Speed, 2.0f * 1.852f);
}

TEST(NmeaParser, GsaPacksUsedSatellites) {
  FixRecord f = Parse({"$GPGSA,A,3,04,,05,,09,12,,,24,,,,2.5,1.3,2.1"});
  const DWORD expected[12] = {4, 5, 9, 12, 24};
  EXPECT_EQ(memcmp(f.UsedPrns, expected, sizeof expected), 0);
  EXPECT_EQ(f.FixType, 2u);
  EXPECT_EQ(f.SelectionType, 1u);
  EXPECT_FLOAT_EQ(f.Pdop, 2.5f);
  EXPECT_FLOAT_EQ(f.Hdop, 1.3f);
  EXPECT_FLOAT_EQ(f.Vdop, 2.1f);
  EXPECT_EQ(f.ValidFields, 0x1700u);
  EXPECT_EQ(Parse({"$GPGSA,M,1,,,,,,,,,,,,,,,"}).FixType, 0u);
  EXPECT_EQ(Parse({"$GPGSA,M,1,,,,,,,,,,,,,,,"}).SelectionType, 2u);
}

TEST(NmeaParser, GsvThreeMessagesFillTheirSlots) {
  FixRecord f{};
  ParseNmeaSentence("$GPGSV,3,1,11,03,03,074,38,06,15,348,37,07,18,022,52,11,13,133,37*69", &f);
  EXPECT_EQ(f.ValidFields & FIX_IN_VIEW_GROUP, 0u);
  ParseNmeaSentence("$GPGSV,3,2,11,19,43,291,33,22,07,094,42,30,47,008,54,13,21,278,*69", &f);
  EXPECT_EQ(f.InViewPrns[4], 19u);
  EXPECT_EQ(f.InViewPrns[7], 13u);
  EXPECT_EQ(f.InViewSnr[7], 0u);
  EXPECT_EQ(f.ValidFields & FIX_IN_VIEW_GROUP, 0u);
  ParseNmeaSentence("$GPGSV,3,3,11,15,06,246,,39,,,34,46,,,50,1*5C", &f);  // NMEA 4.10 signal ID
  EXPECT_EQ(f.ValidFields & FIX_IN_VIEW_GROUP, FIX_IN_VIEW_GROUP);
  EXPECT_EQ(f.SatellitesInView, 11u);
  EXPECT_EQ(f.InViewPrns[10], 46u);
  EXPECT_EQ(f.InViewPrns[11], 0u);  // the signal ID is not a satellite
  EXPECT_EQ(f.InViewAzimuth[0], 74u);
}

TEST(NmeaParser, GsvMessageNumbersOutsideTheSlotsAreIgnored) {
  FixRecord f{};
  for (int i = 0; i < 12; ++i) f.InViewPrns[i] = 100 + static_cast<DWORD>(i);
  ParseNmeaSentence("$GPGSV,3,4,11,01,01,001,01,02,02,002,02,03,03,003,03,04,04,004,04", &f);
  ParseNmeaSentence("$GPGSV,3,0,11,01,01,001,01,02,02,002,02,03,03,003,03,04,04,004,04", &f);
  ParseNmeaSentence("$GPGSV,0,-5,11,01,01,001,01", &f);
  for (int i = 0; i < 12; ++i) EXPECT_EQ(f.InViewPrns[i], 100u + static_cast<DWORD>(i));
}

TEST(NmeaParser, MoreThanTwelveSatellitesKeepThoseWithAPosition) {
  FixRecord f{};
  ParseNmeaSentence("$GPGSV,4,1,16,01,10,100,30,02,00,000,31,03,20,200,32,04,30,300,33", &f);
  EXPECT_EQ(f.SatellitesInView, 3u);  // 02 has no position while 16 entries compete for 12
  EXPECT_EQ(f.InViewPrns[1], 3u);
  ParseNmeaSentence("$GPGSV,4,2,16,05,10,100,30,06,00,000,31,07,20,200,32,08,30,300,33", &f);
  ParseNmeaSentence("$GPGSV,4,3,16,09,10,100,30,10,10,100,31,11,20,200,32,12,00,000,33", &f);
  EXPECT_EQ(f.SatellitesInView, 9u);
  // The last message: 4 entries remain and 3 slots are free, so the one without position
  // is dropped; then the rest fit.
  ParseNmeaSentence("$GPGSV,4,4,16,13,00,000,30,14,10,100,31,15,20,200,32,16,30,300,33", &f);
  EXPECT_EQ(f.SatellitesInView, 12u);
  EXPECT_EQ(f.InViewPrns[9], 14u);
  EXPECT_EQ(f.InViewPrns[11], 16u);
  EXPECT_EQ(f.ValidFields & FIX_IN_VIEW_GROUP, FIX_IN_VIEW_GROUP);
  // A count left at an impossible value by an earlier message does not overrun the slots.
  FixRecord g{};
  ParseNmeaSentence("$GPGSV,1,1,99,01,10,100,30", &g);
  ParseNmeaSentence("$GPGSV,9,2,99,01,10,100,30,02,10,100,30,03,10,100,30,04,10,100,30", &g);
  EXPECT_LE(g.SatellitesInView, 12u);
}

TEST(NmeaParser, OtherTalkersAndOwnStatusAreIgnored) {
  FixRecord f = Parse({"$GNGGA,123519,4807.038,N,01131.000,E,1,08,0.9,545.4,M,46.9,M,,", "$PGRMT,Frx COM4,1,2,3,4,,,",
                       "garbage", ""});
  FixRecord zero{};
  EXPECT_EQ(memcmp(&f, &zero, sizeof f), 0);
}

TEST(NmeaFields, TwoThreadsParseWithoutSeeingEachOthersFields) {
  // The reader and the scan thread parse different receivers at the same time.
  auto parse = [](const char* sentence, double latitude, std::atomic<int>* wrong) {
    for (int i = 0; i < 20000; ++i) {
      FixRecord f{};
      ParseGGA(sentence, &f);
      if (std::fabs(f.Latitude - latitude) > 1e-6) ++*wrong;
    }
  };
  std::atomic<int> wrong{0};
  std::thread a(parse, "$GPGGA,120000.00,4807.0380,N,01131.0000,E,1,08,0.9,545.4,M,46.9,M,,*47", 48.1173, &wrong);
  std::thread b(parse, "$GPGGA,120000.00,3345.1000,S,15112.0000,E,1,08,0.9,545.4,M,46.9,M,,*47", -33.751667, &wrong);
  a.join();
  b.join();
  EXPECT_EQ(wrong.load(), 0);
}
