// The sentence writer: every sentence to the character, and the batch bound.
#include <cfloat>
#include <cmath>
#include <cstring>
#include <limits>
#include <regex>
#include "port_driver/nmea_parser.h"
#include "support/clock.h"
#include "support/nmea_check.h"
#include "support/nmea_writer.h"
#include "test_root.h"

namespace {

FixRecord Sample() {
  FixRecord f{};
  f.UtcTime.wYear = 2026;
  f.UtcTime.wMonth = 12;
  f.UtcTime.wDay = 6;
  f.UtcTime.wHour = 12;
  f.UtcTime.wMinute = 3;
  f.UtcTime.wSecond = 4;
  f.UtcTime.wMilliseconds = 5;
  f.Latitude = 48.1173;
  f.Longitude = -11.516666666666667;
  f.Speed = 100.0f;
  f.Heading = 54.7f;
  f.FixQuality = 1;
  f.FixType = 2;
  f.SatelliteCount = 8;
  f.Hdop = 0.9f;
  f.AltitudeSeaLevel = 545.4f;
  f.Separation = 46.9f;
  return f;
}

std::string Body(const std::string& sentence) { return sentence.substr(0, sentence.find('*')); }

// The checksum is right and the sentence ends with CR LF.
void ExpectChecksum(const std::string& s) {
  size_t star = s.find('*');
  ASSERT_NE(star, std::string::npos) << s;
  unsigned char c = 0;
  for (size_t i = 1; i < star; ++i) c ^= static_cast<unsigned char>(s[i]);
  char tail[8];
  snprintf(tail, sizeof tail, "*%02X\r\n", c);
  EXPECT_EQ(s.substr(star), tail) << s;
}

}  // namespace

TEST(NmeaWriter, CoordinatesAndChecksums) {
  char buf[32];
  EXPECT_STREQ(FormatLatitude(48.1173, buf), "4807.038000,N");
  EXPECT_STREQ(FormatLatitude(-33.5, buf), "3330.000000,S");
  EXPECT_STREQ(FormatLongitude(-11.516666, buf), "01130.999960,W");
  EXPECT_STREQ(FormatLongitude(151.25, buf), "15115.000000,E");
  EXPECT_STREQ(FormatLongitude(-0.5, buf), "00030.000000,W");
  EXPECT_STREQ(FormatLatitude(0, buf), "0000.000000,N");
  char text[32] = "$A";
  EXPECT_EQ(AppendChecksum(text, sizeof text), 5);
  EXPECT_STREQ(text, "$A*41\r\n");
  char ten[32] = "$\x0a";
  AppendChecksum(ten, sizeof ten);
  EXPECT_STREQ(ten + 2, "*0A\r\n");
}

TEST(NmeaWriter, RmcVtgGgaOfAFix) {
  FixRecord f = Sample();
  char out[256];
  MakeGPRMC(&f, out, sizeof out);
  EXPECT_EQ(Body(out), "$GPRMC,120304.005,A,4807.038000,N,01131.000000,W,54.0,54.7,061226,,,A");
  ExpectChecksum(out);
  f.ValidFields |= FIX_MAG_VARIATION;
  f.MagVariation = -2.5f;
  MakeGPRMC(&f, out, sizeof out);
  EXPECT_EQ(Body(out), "$GPRMC,120304.005,A,4807.038000,N,01131.000000,W,54.0,54.7,061226,2.5,E,A");
  MakeGPVTG(&f, out, sizeof out);
  EXPECT_EQ(Body(out), "$GPVTG,54.7,T,52.2,M,54.0,N,100.0,K,A");
  ExpectChecksum(out);
  MakeGPGGA(&f, out, sizeof out);
  EXPECT_EQ(Body(out), "$GPGGA,120304.005,4807.038000,N,01131.000000,W,1,08,0.9,545.4,M,46.9,M,,");
  ExpectChecksum(out);
}

TEST(NmeaWriter, APositionThatIsNoCurrentFixIsAnEstimate) {
  // The last fix carried past its window, and the stored or cell position: quality 6, mode E, and
  // no 3D fix claimed without a satellite in use. A receiver's fix prints as it always has.
  for (BYTE kind : {SOURCE_LAST_KNOWN, SOURCE_CELL_OR_STORED}) {
    FixRecord f = Sample();
    f.SourceKind = kind;
    f.SatelliteCount = 0;
    char out[256];
    MakeGPRMC(&f, out, sizeof out);
    EXPECT_EQ(Body(out), "$GPRMC,120304.005,A,4807.038000,N,01131.000000,W,54.0,54.7,061226,,,E");
    MakeGPVTG(&f, out, sizeof out);
    EXPECT_EQ(Body(out), "$GPVTG,54.7,T,54.7,M,54.0,N,100.0,K,E");
    MakeGPGGA(&f, out, sizeof out);
    EXPECT_EQ(Body(out), "$GPGGA,120304.005,4807.038000,N,01131.000000,W,6,00,0.9,545.4,M,46.9,M,,");
    MakeGPGSA(&f, out, sizeof out);
    EXPECT_EQ(Body(out).substr(0, 10), "$GPGSA,A,1");
    f.SatelliteCount = 5;  // satellites the carried fix had: its mode stays
    MakeGPGSA(&f, out, sizeof out);
    EXPECT_EQ(Body(out).substr(0, 10), "$GPGSA,A,3");
    // No fix at all (FallbackAsNoFix) stays no fix, whatever the source, and without a position
    // it names none (zeros would be a place at 0 N 0 E).
    f.FixType = 0;
    f.FixQuality = 0;
    MakeGPRMC(&f, out, sizeof out);
    EXPECT_EQ(Body(out).substr(Body(out).size() - 2), ",N");
    MakeGPGGA(&f, out, sizeof out);
    EXPECT_NE(Body(out).find(",,,,0,"), std::string::npos) << out;
    f.ValidFields |= FIX_LATITUDE | FIX_LONGITUDE;  // the receiver's own position without a fix: kept
    MakeGPGGA(&f, out, sizeof out);
    EXPECT_NE(Body(out).find(",W,0,"), std::string::npos) << out;
  }
  FixRecord fresh = Sample();
  fresh.SourceKind = 5;
  char out[256];
  MakeGPGGA(&fresh, out, sizeof out);
  EXPECT_NE(Body(out).find(",W,1,08,"), std::string::npos) << out;
}

TEST(NmeaWriter, ANumberTheSentenceCannotStandBehindIsAnEmptyField) {
  FixRecord f = Sample();
  f.Speed = std::numeric_limits<float>::quiet_NaN();  // a receiver's "nan"
  f.Separation = std::numeric_limits<float>::infinity();
  f.Hdop = 2e6f;  // beyond the field's six digits
  char out[kNmeaBatchSize];
  ASSERT_GT(MakeNmeaBatch(&f, out, sizeof out), 0);
  std::string batch(out);
  for (const char* never : {"nan", "inf", "999999.9"}) EXPECT_EQ(batch.find(never), std::string::npos) << never << "\n" << batch;
  MakeGPRMC(&f, out, sizeof out);
  EXPECT_EQ(Body(out), "$GPRMC,120304.005,A,4807.038000,N,01131.000000,W,,54.7,061226,,,A");
  ExpectChecksum(out);
  MakeGPGGA(&f, out, sizeof out);
  EXPECT_EQ(Body(out), "$GPGGA,120304.005,4807.038000,N,01131.000000,W,1,08,,545.4,M,,M,,");
  MakeGPVTG(&f, out, sizeof out);
  EXPECT_EQ(Body(out), "$GPVTG,54.7,T,54.7,M,,N,,K,A");
}

TEST(NmeaWriter, CourseFromTheCompass) {
  FixRecord f = Sample();
  f.ValidFields = FIX_COURSE_FROM_COMPASS | FIX_MAG_HEADING;
  f.MagHeading = 100.0f;
  f.MagVariation = 5.0f;
  char out[256];
  MakeGPVTG(&f, out, sizeof out);
  EXPECT_EQ(Body(out), "$GPVTG,95.0,T,100.0,M,54.0,N,100.0,K,A");
}

TEST(NmeaWriter, ARecordWithoutAFix) {
  FixRecord f{};
  f.UtcTime = Sample().UtcTime;
  char out[256];
  MakeGPRMC(&f, out, sizeof out);
  EXPECT_EQ(Body(out), "$GPRMC,120304.005,V,,,,,0.0,0.0,061226,,,N");
  MakeGPGSA(&f, out, sizeof out);
  EXPECT_EQ(Body(out), "$GPGSA,A,1,,,,,,,,,,,,,0.0,0.0,0.0");
  ExpectChecksum(out);
  // Without a time the clock's now is printed.
  FixRecord none{};
  MakeGPGGA(&none, out, sizeof out);
  EXPECT_TRUE(std::regex_search(out, std::regex("^\\$GPGGA,\\d{6}\\.\\d{3},,,,,0,")));
}

TEST(NmeaWriter, GsaPrintsTwelveSlotsInOrder) {
  FixRecord f = Sample();
  f.UsedPrns[0] = 4;
  f.UsedPrns[1] = 5;
  f.UsedPrns[3] = 24;
  f.Pdop = 2.5f;
  f.Hdop = 1.3f;
  f.Vdop = 2.1f;
  char out[256];
  MakeGPGSA(&f, out, sizeof out);
  EXPECT_EQ(Body(out), "$GPGSA,A,3,04,05,,24,,,,,,,,,2.5,1.3,2.1");
}

TEST(NmeaWriter, StatusSentenceLabelsTheSource) {
  FixRecord f = Sample();
  char out[256];
  const std::pair<BYTE, const char*> labels[] = {
      {1, "Frx Msapi"}, {4, "Frx COM3"}, {5, "Frx COM4"}, {10, "Frx COM9"}, {16, "Cell Tower"}, {32, "LastKnown"},
      {0, "UnKnown"}, {64, "UnKnown"}};
  for (auto [kind, label] : labels) {
    f.SourceKind = kind;
    MakePGRMT(&f, out, sizeof out);
    EXPECT_EQ(Body(out), std::string("$PGRMT,") + label + ",-1.0,-1.0,0,0,,,") << int(kind);
  }
  f.SourceKind = 5;
  f.ValidFields = FIX_COMPASS_IN_USE;
  f.MagHeading = 123.4f;
  f.Orientation = 3;
  f.ProfileNumber = 2;
  MakePGRMT(&f, out, sizeof out);
  EXPECT_EQ(Body(out), "$PGRMT,Frx COM4,123.4,54.7,3,2,,,");
  f.ValidFields |= FIX_COURSE_FROM_COMPASS;
  MakePGRMT(&f, out, sizeof out);
  EXPECT_EQ(Body(out), "$PGRMT,Frx COM4,123.4,-1.0,3,2,,,");
}

TEST(NmeaWriter, SatellitesInViewPages) {
  FixRecord f = Sample();
  f.SatellitesInView = 5;
  for (int i = 0; i < 5; ++i) {
    f.InViewPrns[i] = static_cast<DWORD>(i + 1);
    f.InViewElevation[i] = 10;
    f.InViewAzimuth[i] = 5;
    f.InViewSnr[i] = 40;
  }
  char out[256];
  MakeGPGSV(0, &f, out, sizeof out);
  EXPECT_EQ(Body(out), "$GPGSV,2,1,5,01,10,005,40,02,10,005,40,03,10,005,40,04,10,005,40");
  MakeGPGSV(1, &f, out, sizeof out);
  EXPECT_EQ(Body(out), "$GPGSV,2,2,5,05,10,005,40,,,,,,,,,,,,");
  ExpectChecksum(out);
  EXPECT_EQ(MakeGPGSV(2, &f, out, sizeof out), 0);
  EXPECT_STREQ(out, "");
  f.SatellitesInView = 13;  // more in view than twelve slots: three messages go out, and say so
  EXPECT_GT(MakeGPGSV(2, &f, out, sizeof out), 0);
  EXPECT_EQ(Body(out).substr(0, 14), "$GPGSV,3,3,13,");
  EXPECT_EQ(MakeGPGSV(3, &f, out, sizeof out), 0);  // only pages 0 to 2 exist
}

TEST(NmeaWriter, ABatchOfExtremeValuesFitsItsBuffer) {
  FixRecord f;
  memset(&f, 0xFF, sizeof f);  // every count and PRN at its maximum, every float NaN
  char out[kNmeaBatchSize];
  int n = MakeNmeaBatch(&f, out, sizeof out);
  EXPECT_LT(n, static_cast<int>(kNmeaBatchSize));
  EXPECT_EQ(static_cast<size_t>(n), strlen(out));
  char why[256] = "";
  EXPECT_GT(CheckNmeaBatch(out, static_cast<size_t>(n), why, sizeof why), 0) << why << "\n" << out;
  for (double big : {DBL_MAX, -DBL_MAX, 1e300}) {
    FixRecord g{};
    g.Latitude = big;
    g.Longitude = -big;
    g.Speed = g.Heading = g.MagVariation = g.MagHeading = g.AltitudeSeaLevel = g.Separation = FLT_MAX;
    g.Pdop = g.Hdop = g.Vdop = -FLT_MAX;
    g.ValidFields = 0xFFFFFFFF;
    g.FixQuality = g.FixType = g.SatelliteCount = g.SatellitesInView = 0xFFFFFFFF;
    for (int i = 0; i < kMaxSatellites; ++i)
      g.UsedPrns[i] = g.InViewPrns[i] = g.InViewElevation[i] = g.InViewAzimuth[i] = g.InViewSnr[i] = 0x7FFFFFFF;
    g.UtcTime = {65535, 65535, 65535, 65535, 65535, 65535, 65535, 65535};
    g.SourceKind = 255;
    n = MakeNmeaBatch(&g, out, sizeof out);
    EXPECT_LT(n, static_cast<int>(kNmeaBatchSize));
    // Every sentence is whole: eight sentences, each with a right checksum.
    std::string text(out);
    size_t count = 0, pos = 0;
    while ((pos = text.find('$', pos)) != std::string::npos) {
      size_t end = text.find("\r\n", pos);
      ASSERT_NE(end, std::string::npos);
      ExpectChecksum(text.substr(pos, end + 2 - pos));
      pos = end;
      ++count;
    }
    EXPECT_EQ(count, 8u);
    char why[256] = "";
    EXPECT_EQ(CheckNmeaBatch(out, static_cast<size_t>(n), why, sizeof why), 8) << why;
    EXPECT_NE(text.find(",9000.000000,"), std::string::npos);
    EXPECT_NE(text.find(",18000.000000,"), std::string::npos);
  }
  // A buffer too small for the batch is cut, never overrun.
  char small[100];
  memset(small, 'x', sizeof small);
  FixRecord s = Sample();
  n = MakeNmeaBatch(&s, small, 60);
  EXPECT_LT(n, 60);
  EXPECT_EQ(small[60], 'x');
}

TEST(NmeaWriter, WhatTheWriterPrintsTheParserReadsBack) {
  FixRecord f = Sample();
  f.UsedPrns[0] = 7;
  f.Pdop = 1.5f;
  f.Vdop = 1.1f;
  f.SatellitesInView = 2;
  f.InViewPrns[0] = 7;
  f.InViewElevation[0] = 45;
  f.InViewAzimuth[0] = 270;
  f.InViewSnr[0] = 38;
  f.InViewPrns[1] = 9;
  char out[kNmeaBatchSize];
  MakeNmeaBatch(&f, out, sizeof out);
  FixRecord back{};
  char* save = nullptr;
  for (char* line = strtok_r(out, "\n", &save); line; line = strtok_r(nullptr, "\n", &save))
    ParseNmeaSentence(line, &back);
  EXPECT_NEAR(back.Latitude, f.Latitude, 1e-8);
  EXPECT_NEAR(back.Longitude, f.Longitude, 1e-8);
  EXPECT_NEAR(back.Speed, f.Speed, 0.05);
  EXPECT_NEAR(back.Heading, f.Heading, 0.05);
  EXPECT_EQ(back.UtcTime.wMilliseconds, 5);
  EXPECT_EQ(back.UtcTime.wDay, 6);
  EXPECT_EQ(back.FixType, 2u);
  EXPECT_EQ(back.SatellitesInView, 2u);
  EXPECT_EQ(back.InViewAzimuth[0], 270u);
  EXPECT_EQ(back.InViewPrns[1], 9u);
  EXPECT_EQ(back.ValidFields & FIX_COMPLETE_BURST, FIX_COMPLETE_BURST);
}
