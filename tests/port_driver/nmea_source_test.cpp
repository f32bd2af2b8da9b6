// The default reading of receivers of every kind, against the strict reading of the $GP parser.
#include <cstdio>
#include <string>
#include <vector>
#include "port_driver/nmea_source.h"
#include "support/nmea_writer.h"
#include "nmea_sentence.h"
#include "test_root.h"

namespace {

std::string S(const std::string& body) { return Sentence(body); }

// Reads sentences as ferrox-decode does; one record per cycle.
std::vector<FixRecord> Read(const std::vector<std::string>& lines, bool strict = false) {
  NmeaSource source;
  NmeaSourceReset(&source, strict);
  std::vector<FixRecord> records;
  FixRecord fix{};
  for (const auto& line : lines) {
    if (NmeaStartsNewCycle(&source, line.c_str())) {
      NmeaFinishCycle(&source, &fix);
      records.push_back(fix);
      fix = FixRecord{};
    }
    NmeaParse(&source, line.c_str(), &fix);
  }
  if (source.haveData) {
    NmeaFinishCycle(&source, &fix);
    records.push_back(fix);
  }
  return records;
}

const std::string kGpGga = S("$GPGGA,120000.00,4807.0380,N,01131.0000,E,1,05,1.2,545.4,M,46.9,M,,");
const std::string kGnGga = S("$GNGGA,120000.00,4807.0400,N,01131.0100,E,1,14,0.7,546.0,M,46.9,M,,");
const std::string kGnRmc = S("$GNRMC,120000.00,A,4807.0400,N,01131.0100,E,10.0,90.0,061226,,,A");

}  // namespace

TEST(NmeaSource, ACycleFollowsTheCombinedSolutionInEitherOrder) {
  for (bool gpFirst : {true, false}) {
    std::vector<std::string> lines = gpFirst ? std::vector<std::string>{kGpGga, kGnGga, kGnRmc}
                                             : std::vector<std::string>{kGnGga, kGnRmc, kGpGga};
    auto r = Read(lines);
    ASSERT_EQ(r.size(), 1u) << gpFirst;
    EXPECT_NEAR(r[0].Latitude, 48.117333, 1e-6) << gpFirst;  // $GN's, never $GP's
    EXPECT_EQ(r[0].SatelliteCount, 14u);
    EXPECT_NEAR(r[0].Speed, 18.52, 1e-3);
    EXPECT_EQ(r[0].FixQuality, 1u);
    EXPECT_EQ(r[0].FixType, 2u);  // no GSA: 3D from GGA's altitude
  }
  // The strict reading knows $GP only.
  auto strict = Read({kGnGga, kGnRmc}, true);
  EXPECT_EQ(strict[0].FixQuality, 0u);
}

TEST(NmeaSource, SeveralGsaJoinTheirSatellitesAndTheSkyMergesOverSystems) {
  std::vector<std::string> lines = {
      kGnGga, kGnRmc,
      S("$GNGSA,A,3,05,07,13,,,,,,,,,,1.9,1.0,1.6,1"),   // GPS
      S("$GNGSA,A,3,67,76,,,,,,,,,,,1.9,1.0,1.6,2"),     // GLONASS
      S("$GNGSA,A,3,11,12,,,,,,,,,,,1.9,1.0,1.6,3"),     // Galileo 11, 12
      S("$GPGSV,2,1,07,05,40,100,45,07,30,200,40,13,20,300,35,15,10,050,20,1"),
      S("$GPGSV,2,2,07,18,10,060,22,20,05,070,18,24,05,080,15,1"),
      S("$GPGSV,1,1,02,05,40,100,47,07,30,200,38,8"),    // GPS again on L5: the same satellites
      S("$GLGSV,1,1,03,67,50,010,44,76,45,020,43,77,05,030,10,1"),
      S("$GAGSV,1,1,04,11,60,110,41,12,55,120,39,19,08,130,12,30,06,140,11,7"),
  };
  auto r = Read(lines);
  ASSERT_EQ(r.size(), 1u);
  const FixRecord& f = r[0];
  EXPECT_EQ(f.SatellitesInView, 14u);  // 7 GPS (L5 repeats merged) + 3 GLONASS + 4 Galileo
  std::vector<DWORD> used(f.UsedPrns, f.UsedPrns + 7);
  EXPECT_EQ(used, (std::vector<DWORD>{5, 7, 13, 67, 76, 311, 312}));
  EXPECT_NEAR(f.Pdop, 1.9, 1e-6);
  // Used satellites first, then the strongest; the weakest two are left out.
  std::vector<DWORD> sky(f.InViewPrns, f.InViewPrns + kMaxSatellites);
  EXPECT_EQ(sky, (std::vector<DWORD>{5, 67, 76, 311, 7, 312, 13, 18, 15, 20, 24, 319}));
  EXPECT_EQ(f.InViewSnr[0], 47u);  // the stronger of the satellite's two signals
  // The batch announces the three messages it sends and the true count in view.
  char text[128];
  MakeGPGSV(2, &f, text, sizeof text);
  EXPECT_EQ(std::string(text).substr(0, 14), "$GPGSV,3,3,14,");
  // A system id no receiver sends names no system (found by the fuzzer: it was cast unchecked).
  auto odd = Read({kGnGga, kGnRmc, S("$GNGSA,A,3,05,07,,,,,,,,,,,1.9,1.0,1.6,61")});
  ASSERT_EQ(odd.size(), 1u);
  EXPECT_EQ(odd[0].UsedPrns[0], 5u);
}

TEST(NmeaSource, ReceiversWithoutGsaOrGgaStillGiveFixes) {
  // GSA now and then: the last fix type and DOPs hold for five cycles.
  std::vector<std::string> lines;
  for (int i = 0; i < 8; ++i) {
    char t[16];
    snprintf(t, sizeof t, "1200%02d.00", i);
    lines.push_back(S(std::string("$GPGGA,") + t + ",4807.0380,N,01131.0000,E,1,05,1.2,,M,,M,,"));
    lines.push_back(S(std::string("$GPRMC,") + t + ",A,4807.0380,N,01131.0000,E,0.0,0.0,061226,,,A"));
    if (i == 0) lines.push_back(S("$GPGSA,A,3,05,07,13,,,,,,,,,,2.5,1.2,2.1"));
  }
  auto r = Read(lines);
  ASSERT_EQ(r.size(), 8u);
  for (int i = 0; i <= 5; ++i) {
    EXPECT_EQ(r[static_cast<size_t>(i)].FixType, 2u) << i;  // 3D, as the GSA said
    EXPECT_NEAR(r[static_cast<size_t>(i)].Vdop, 2.1, 1e-6) << i;
  }
  EXPECT_EQ(r[6].FixType, 1u);  // then from GGA: no altitude, 2D
  // RMC only: a fix from its status and mode; GGA only, between RMC: the date carried over.
  auto rmc = Read({S("$GPRMC,120000.00,A,4807.0380,N,01131.0000,E,0.0,0.0,061226,,,D")});
  EXPECT_EQ(rmc[0].FixQuality, 2u);
  EXPECT_EQ(rmc[0].FixType, 1u);
  auto tenHz = Read({S("$GPRMC,235959.90,A,4807.0380,N,01131.0000,E,0.0,0.0,061226,,,A"),
                     S("$GPGGA,000000.10,4807.0380,N,01131.0000,E,1,05,1.2,545.4,M,46.9,M,,"),
                     S("$GPGGA,000000.20,4807.0380,N,01131.0000,E,1,05,1.2,545.4,M,46.9,M,,")});
  ASSERT_EQ(tenHz.size(), 3u);
  EXPECT_EQ(tenHz[1].UtcTime.wDay, 7);  // past midnight: the next day
  EXPECT_EQ(tenHz[2].UtcTime.wMilliseconds, 200);
  EXPECT_TRUE(tenHz[2].ValidFields & FIX_DATE);
  // GNS alone: position, quality from its mode string, satellites.
  auto gns = Read({S("$GNGNS,120000.00,4807.0380,N,01131.0000,E,ADN,12,0.8,545.4,46.9,,")});
  EXPECT_EQ(gns[0].FixQuality, 2u);
  EXPECT_EQ(gns[0].SatelliteCount, 12u);
  EXPECT_EQ(gns[0].FixType, 2u);
  // South and west carry their signs, in GNS as in GGA.
  auto south = Read({S("$GNGNS,120000.00,3351.0000,S,15112.0000,W,AA,10,0.9,10.0,20.0,,")});
  EXPECT_NEAR(south[0].Latitude, -33.85, 1e-9);
  EXPECT_NEAR(south[0].Longitude, -151.2, 1e-9);
}

TEST(NmeaSource, CyclesEndWhereTheReceiverSaysAndDamagedLinesAreSkipped) {
  // Sentences of one epoch round its time differently; the next epoch starts a cycle.
  auto r = Read({S("$GPGLL,4807.0380,N,01131.0000,E,120000.295,A,A"),
                 S("$GPGGA,120000.30,4807.0380,N,01131.0000,E,1,05,1.2,545.4,M,46.9,M,,"),
                 S("$GPRMC,120000.3,A,4807.0380,N,01131.0000,E,0.0,0.0,061226,,,A"),
                 S("$GPGGA,120000.40,4807.0390,N,01131.0000,E,1,05,1.2,545.4,M,46.9,M,,")});
  ASSERT_EQ(r.size(), 2u);
  EXPECT_EQ(r[0].UtcTime.wMilliseconds, 300);  // GGA's digits, not GLL's
  // A damaged line is skipped in the default reading and read as it is in the strict one.
  std::string damaged = kGpGga;
  damaged[20] = '9';
  EXPECT_EQ(Read({damaged})[0].FixQuality, 0u);
  EXPECT_EQ(Read({damaged}, true)[0].FixQuality, 1u);
  // A time field that is no time of day (found by the fuzzer) cuts no cycle; the repeated GGA does.
  auto garbage = Read({S("$GPGGA,212607000000.5,4807.0380,N,01131.0000,E,1,05,1.2,545.4,M,46.9,M,,"),
                       S("$GNGLL,4807.0380,N,01131.0000,E,99999999999,A,A"),
                       S("$GNRMC,120000.00,A,4807.0400,N,01131.0100,E,10.0,90.0,061226,,,A"), kGpGga});
  EXPECT_EQ(garbage.size(), 2u);
  // The first good sentence after binary data on the same line.
  std::string mixed = std::string("\x01\x62$G\x00", 5) + "junk" + kGpGga;
  const char* found = NmeaSentenceIn(mixed.c_str() + 5);
  ASSERT_NE(found, nullptr);
  EXPECT_EQ(std::string(found), kGpGga);
}

// A receiver's absurd fields (with right checksums) in both readings: each is absent, never a
// zero or a plausible stand-in, and a broken position means no fix.
TEST(NmeaSource, FieldsThatBreakTheirRuleAreAbsent) {
  const std::string gga = "$GPGGA,120000.00,4807.0380,N,01131.0000,E,1,05,1.2,545.4,M,46.9,M,,";
  const std::string rmc = "$GPRMC,120000.00,A,4807.0380,N,01131.0000,E,10.0,90.0,061226,,,A";
  const std::string gsa = "$GPGSA,A,3,02,05,08,11,14,,,,,,,,1.8,1.2,1.5";
  // The body with field `index` replaced.
  auto with = [](std::string s, int index, const std::string& value) {
    size_t at = 0;
    for (int i = 0; i < index; ++i) at = s.find(',', at) + 1;
    size_t end = s.find(',', at);
    return s.replace(at, end == std::string::npos ? std::string::npos : end - at, value);
  };
  for (bool strict : {false, true}) {
    SCOPED_TRACE(strict ? "strict" : "default");
    FixRecord good = Read({S(gga), S(rmc), S(gsa)}, strict).at(0);
    ASSERT_EQ(good.FixQuality, 1u);
    // Speed "inf": the position stands, the speed is unknown (and not 999999.9).
    FixRecord f = Read({S(gga), S(with(rmc, 7, "inf")), S(gsa)}, strict).at(0);
    EXPECT_EQ(f.FixQuality, 1u);
    EXPECT_DOUBLE_EQ(f.Latitude, good.Latitude);
    EXPECT_FALSE(f.ValidFields & FIX_SPEED);
    EXPECT_EQ(f.Speed, 0.0f);
    // Latitude 9999.9999 in both position sentences: no fix at all, no 79 degrees north.
    f = Read({S(with(gga, 2, "9999.9999")), S(with(rmc, 3, "9999.9999")), S(gsa)}, strict).at(0);
    EXPECT_EQ(f.FixQuality, 0u);
    EXPECT_LT(f.Latitude, 1.0);
    // Separation "nan": unknown (not a number, not marked), the altitude kept.
    f = Read({S(with(gga, 11, "nan")), S(rmc), S(gsa)}, strict).at(0);
    EXPECT_TRUE(f.Separation != f.Separation);
    EXPECT_FALSE(f.ValidFields & FIX_SEPARATION);
    EXPECT_FLOAT_EQ(f.AltitudeSeaLevel, 545.4f);
    // GSA mode 9 tells no fix type (the default reading takes it from GGA, as without GSA; the
    // strict one has none); DOP 0 tells no DOP.
    f = Read({S(gga), S(rmc), S(with(with(gsa, 2, "9"), 16, "0.0"))}, strict).at(0);
    EXPECT_EQ(f.FixType, strict ? 0u : good.FixType);
    EXPECT_FLOAT_EQ(f.Hdop, 1.2f);  // GGA's, not the GSA's 0
    // A GSV that announces 999 satellites says nothing; a satellite at elevation 500 is left out.
    f = Read({S(gga), S(rmc), S(gsa), S("$GPGSV,1,1,999,02,45,100,40")}, strict).at(0);
    EXPECT_EQ(f.SatellitesInView, 0u);
    f = Read({S(gga), S(rmc), S(gsa), S("$GPGSV,1,1,2,02,500,999,200,05,30,200,35")}, strict).at(0);
    bool two = false, five = false;
    for (int i = 0; i < kMaxSatellites; ++i) {
      two = two || f.InViewPrns[i] == 2;
      five = five || (f.InViewPrns[i] == 5 && f.InViewElevation[i] == 30);
    }
    EXPECT_FALSE(two);
    EXPECT_TRUE(five);
    // Hour 25 and 31 February are no time and no date of the receiver.
    f = Read({S(with(with(rmc, 1, "250000.00"), 9, "310226"))}, strict).at(0);
    EXPECT_NE(f.UtcTime.wHour, 25);
    EXPECT_FALSE(f.UtcTime.wDay == 31 && f.UtcTime.wMonth == 2);
  }
}
