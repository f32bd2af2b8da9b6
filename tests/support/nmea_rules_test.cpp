// The field rules and the check of written sentences.
#include <gtest/gtest.h>
#include <cstring>
#include <string>
#include "nmea_sentence.h"
#include "support/nmea_check.h"
#include "support/nmea_rules.h"

TEST(NmeaRules, OnlyPlainDecimalsAreNumbers) {
  double v = 0;
  for (const char* good : {"0", "-12.5", "+3", "0.", ".5", "00016"}) EXPECT_TRUE(NmeaDecimal(good, &v)) << good;
  EXPECT_TRUE(NmeaDecimal("-0028", &v));
  EXPECT_DOUBLE_EQ(v, -28);
  for (const char* bad : {"", "nan", "inf", "-inf", "0x1A", "1e5", "1e", "1.2.3", "12a", "-", ".", " 1"})
    EXPECT_FALSE(NmeaDecimal(bad, &v)) << bad;
}

TEST(NmeaRules, EachRuleKeepsItsRange) {
  const struct {
    int rule;
    const char* text;
    int breaks;
  } kCases[] = {
      {RULE_TIME, "235959.99", 0},    {RULE_TIME, "240000", 1},     {RULE_TIME, "126000", 1},
      {RULE_TIME, "120060.5", 0},     {RULE_TIME, "120061", 1},     {RULE_DATE, "290224", 0},
      {RULE_DATE, "290223", 1},       {RULE_DATE, "310424", 1},     {RULE_DATE, "2208-1", 1},
      {RULE_DATE, "002208", 1},       {RULE_LATITUDE, "9000.0", 0}, {RULE_LATITUDE, "9000.1", 1},
      {RULE_LATITUDE, "4860.0", 1},   {RULE_LATITUDE, "9999.9999", 1}, {RULE_LATITUDE, "-4807.0", 1},
      {RULE_LONGITUDE, "17959.99", 0}, {RULE_LONGITUDE, "18000.01", 1}, {RULE_NORTH_SOUTH, "E", 1},
      {RULE_SPEED_KNOTS, "999999.9", 1}, {RULE_SPEED_KNOTS, "-1", 1},   {RULE_SPEED_KMH, "1999", 0},
      {RULE_ANGLE, "359.9", 0},       {RULE_ANGLE, "360.0", 1},     {RULE_VARIATION, "999.9", 1},
      {RULE_QUALITY, "9", 1},         {RULE_SATELLITES, "99", 0},   {RULE_SATELLITES, "999", 1},
      {RULE_DOP, "0.0", 1},           {RULE_DOP, "99.99", 0},       {RULE_ALTITUDE, "-430", 0},
      {RULE_ALTITUDE, "1e9", 1},      {RULE_SEPARATION, "nan", 1},  {RULE_SEPARATION, "-107.0", 0},
      {RULE_GSA_MODE, "9", 1},        {RULE_GSA_MODE, "3", 0},      {RULE_ELEVATION, "500", 1},
      {RULE_AZIMUTH, "999", 1},       {RULE_AZIMUTH, "359", 0},     {RULE_SNR, "200", 1},
      {RULE_COMPASS, "-1.0", 0},      {RULE_COMPASS, "-2.0", 1},    {RULE_ANY, "nan", 0},
  };
  for (const auto& c : kCases) EXPECT_EQ(NmeaFieldBreaks(c.rule, c.text, false), c.breaks) << NmeaRuleName(c.rule) << " " << c.text;
  for (int rule = RULE_TIME; rule <= RULE_COMPASS; ++rule) EXPECT_EQ(NmeaFieldBreaks(rule, "", false), 0);  // unknown
  EXPECT_EQ(NmeaFieldBreaks(RULE_DOP, "0.0", true), 0);  // a written DOP of 0: none known
  // The table: GSV's satellites repeat by four, and a last odd field is the signal id.
  EXPECT_EQ(NmeaRuleOf("GSV", 9, 20), RULE_ELEVATION);
  EXPECT_EQ(NmeaRuleOf("GSV", 20, 21), RULE_ANY);
  EXPECT_EQ(NmeaRuleOf("GSA", 14, 18), RULE_SATELLITE_ID);
  EXPECT_EQ(NmeaRuleOf("XYZ", 1, 5), RULE_ANY);
}

TEST(NmeaCheck, WrittenSentencesAreWholeAndInRange) {
  char why[256];
  auto check = [&](const std::string& s) { return CheckNmeaSentence(s.data(), s.size(), why, sizeof why); };
  EXPECT_EQ(check(Sentence("$GPRMC,120000.000,A,4807.038000,N,01131.000000,E,22.4,84.4,230394,3.1,W,A")), 1) << why;
  EXPECT_EQ(check(Sentence("$GPRMC,120000.000,A,4807.038000,N,01131.000000,E,nan,84.4,230394,,,A")), 0);
  EXPECT_NE(strstr(why, "field 7 (speed)"), nullptr) << why;
  EXPECT_EQ(check(Sentence("$GPRMC,120000.000,A,7920.000100,N,01131.000000,E,1.0,360.0,230394,,,A")), 0);
  EXPECT_EQ(check(Sentence("$GPGSV,1,1,999,02,500,999,200")), 0);
  std::string wrong = Sentence("$GPGSA,A,3,02,,,,,,,,,,,,1.8,1.0,1.5");
  wrong[wrong.size() - 3] = wrong[wrong.size() - 3] == '0' ? '1' : '0';
  EXPECT_EQ(check(wrong), 0);
  EXPECT_EQ(check("$GPGSA,A,3*00"), 0);  // no CR LF
  std::string two = Sentence("$GPVTG,84.4,T,81.3,M,22.4,N,41.5,K,A") + Sentence("$PGRMT,Frx COM4,-1.0,-1.0,0,1,,,");
  EXPECT_EQ(CheckNmeaBatch(two.data(), two.size(), why, sizeof why), 2) << why;
  two.insert(5, "\x01");
  EXPECT_EQ(CheckNmeaBatch(two.data(), two.size(), why, sizeof why), -1);
}
