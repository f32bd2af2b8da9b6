// ferrox-decode as a user runs it: cycles of a capture, its modes and its errors.
#include <fstream>
#include "test_root.h"

namespace {
class FerroxDecodeTest : public TempRootTest {
 protected:
  std::string Run(const std::string& args, int* status = nullptr) {
    std::string out;
    int rc = RunCommand(std::string(FERROX_DECODE_TOOL) + " " + args, &out);
    if (status) *status = rc;
    return out;
  }
  std::string Capture(const std::string& text) {
    std::string path = root_ + "/capture.log";
    std::ofstream(path, std::ios::binary) << text;
    return path;
  }
};

size_t Lines(const std::string& s) { return static_cast<size_t>(std::count(s.begin(), s.end(), '\n')); }
}  // namespace

TEST_F(FerroxDecodeTest, OneLinePerReadCycle) {
  std::string path = Capture(
      "# comment $GPGGA,1\n"
      "$GPGGA,120000.00,4807.038,N,01131.000,E,1,08,0.9,545.4,M,46.9,M,,*47\r\n"
      "$GPRMC,120000.00,A,4807.038,N,01131.000,E,10.0,90.0,061226,,*00\r\n"
      "$GPGSA,A,3,04,05,,,,,,,,,,,2.5,1.3,2.1*00\r\n"
      "$GPGGA,120001.00,4807.039,N,01131.000,E,1,08,0.9,545.4,M,46.9,M,,*47\r\n"
      "$GPRMC,120001.00,A,4807.039,N,01131.000,E,10.0,90.0,061226,,*00\r\n"
      "$GPGGA,,,,,,0,,,,M,,M,,*66\n$GPRMC,,V,,,,,,,,,,N*53\n"
      "$GPGGA,,,,,,0,,,,M,,M,,*66\n$GPRMC,,V,,,,,,,,,,N*53\n");
  int rc;
  std::string json = Run("--strict " + path, &rc);
  EXPECT_EQ(rc, 0);
  ASSERT_EQ(Lines(json), 4u) << json;
  EXPECT_NE(json.find("{\"time\":\"2026-12-06T12:00:00.000Z\",\"valid\":\"0x41FDF\",\"lat\":48.117300000"), std::string::npos)
      << json;
  EXPECT_NE(json.find("\"speed_kmh\":18.5200,\"course\":90.0000"), std::string::npos);
  EXPECT_NE(json.find("\"prns\":[4,5]"), std::string::npos);
  // The second cycle starts from a zeroed record: no used PRNs carried over.
  std::string second = json.substr(json.find('\n') + 1);
  EXPECT_NE(second.find("\"lat\":48.117316667"), std::string::npos);
  EXPECT_NE(second.find("\"prns\":[]"), std::string::npos);
  std::string nmea = Run("--strict --nmea < " + path, &rc);
  EXPECT_EQ(rc, 0);
  EXPECT_NE(nmea.find("$GPRMC,120000.000,A,4807.038000,N,01131.000000,E,10.0,90.0,061226,,,A*"), std::string::npos)
      << nmea;
  EXPECT_NE(nmea.find("$GPGSA,A,3,04,05,,,,,,,,,,,2.5,1.3,2.1*"), std::string::npos);
}

TEST_F(FerroxDecodeTest, ErrorsAndHelp) {
  int rc;
  std::string out = Run("/nonexistent/capture.log 2>&1", &rc);
  EXPECT_EQ(rc, 1);
  EXPECT_EQ(out.rfind("ferrox-decode: cannot read /nonexistent/capture.log", 0), 0u) << out;
  Run("--frobnicate 2>/dev/null", &rc);
  EXPECT_EQ(rc, 1);
  out = Run("--help", &rc);
  EXPECT_EQ(rc, 0);
  EXPECT_NE(out.find("read cycle"), std::string::npos);
  // Binary garbage and overlong lines are read without harm.
  std::string junk(10000, '$');
  junk += "\n\x01\x02\xff$GPGSV,3,7,99,1,2,3,4\n";
  out = Run(Capture(junk), &rc);
  EXPECT_EQ(rc, 0);
}

TEST_F(FerroxDecodeTest, CorrectModeProjectsAMovingReceiver) {
  // Due east at 36 km/h (10 m/s), one fix a second, read 500 ms after each arrives.
  std::string text;
  for (int i = 0; i < 5; ++i) {
    char line[128];
    double lon = i * 10 / 111120.0;  // minutes of arc of 1852 m on the equator
    snprintf(line, sizeof line, "$GPRMC,1200%02d.00,A,0000.000000,N,%012.6f,E,%.3f,90.0,061226,,*00\n", i, lon * 60,
             36 / 1.852);
    text += line;
    snprintf(line, sizeof line, "$GPGGA,1200%02d.00,0000.000000,N,%012.6f,E,1,08,1.0,10.0,M,0.0,M,,*00\n", i, lon * 60);
    text += line;
    text += "$GPGSA,A,3,01,02,03,04,,,,,,,,,1.5,1.0,1.2*00\n";
  }
  int rc;
  std::string out = Run("--strict --correct --read-at 500 " + Capture(text), &rc);
  ASSERT_EQ(rc, 0) << out;
  ASSERT_EQ(Lines(out), 5u) << out;
  // The last output: fix at 40 m, read 500 ms after arrival, LagAdvance 1500: 20 m further.
  std::string last = out.substr(out.rfind("{"));
  double lon = 0;
  ASSERT_EQ(sscanf(last.c_str() + last.find("\"lon\":") + 6, "%lf", &lon), 1) << last;
  EXPECT_NEAR(lon * 111120.0, 60.0, 0.5) << last;
}
