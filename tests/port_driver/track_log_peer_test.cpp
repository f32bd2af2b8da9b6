// A closed GPX track validates against the GPX 1.1 schema (with Garmin's extensions) and reads
// back through gpsbabel with the same points.
#include <cmath>
#include <filesystem>
#include <sstream>
#include "fix_builder.h"
#include "track_log.h"
#include "test_root.h"

using TrackLogPeerTest = TempRootTest;

TEST_F(TrackLogPeerTest, GpxValidatesAndGpsbabelReadsThePointsBack) {
  SetString(u"\\System\\StorageManager\\Profiles\\SDMemory", u"Folder", u"Storage Card");
  std::filesystem::create_directories(root_ + "/Storage Card");
  std::vector<std::pair<double, double>> points;
  // Two wakes: the second adds a segment to the first's track.
  for (int i = 0; i < 20; ++i) {
    FixRecord f = GoodFix(Utc(12, 0, static_cast<WORD>(i)), -33.5 + i * 0.001, 151.25 - i * 0.002, 36, 90);
    f.AltitudeSeaLevel = 10.0f + static_cast<float>(i);
    WriteTrackPoint(&f, TRACK_OUT);
    points.push_back({f.Latitude, f.Longitude});
    if (i == 9) CloseTrackLogs();
  }
  CloseTrackLogs();
  std::string gpx = root_ + "/Storage Card/Quorvale/FrxDriverOut.gpx";
  std::string schema = std::string(FERROX_TEST_DATA) + "/schemas/gpx-1.1-garmin-v3.xsd";
  ASSERT_TRUE(std::filesystem::exists(schema)) << "missing input: " << schema;
  std::string out;
  EXPECT_EQ(RunCommand("xmllint --noout --nonet --schema '" + schema + "' '" + gpx + "' 2>&1", &out), 0) << out;
  EXPECT_NE(out.find("validates"), std::string::npos) << out;
  out.clear();
  ASSERT_EQ(RunCommand("gpsbabel -t -i gpx -f '" + gpx + "' -o unicsv -F - 2>&1", &out), 0) << out;
  std::istringstream lines(out);
  std::string line;
  std::getline(lines, line);  // header: No,Latitude,Longitude,Altitude,Date,Time (-t: the tracks)
  EXPECT_NE(line.find("Latitude"), std::string::npos) << out;
  size_t i = 0;
  while (std::getline(lines, line) && i < points.size()) {
    double no, lat, lon;
    ASSERT_EQ(sscanf(line.c_str(), "%lf,%lf,%lf", &no, &lat, &lon), 3) << line;
    EXPECT_NEAR(lat, points[i].first, 1e-6);
    EXPECT_NEAR(lon, points[i].second, 1e-6);
    ++i;
  }
  EXPECT_EQ(i, points.size()) << out;
}
