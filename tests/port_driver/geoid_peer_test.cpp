// The geoid table against PROJ's own evaluation of EGM96 (cct with vgridshift) at 50 points
// spread over the globe.
#include <cmath>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <vector>
#include "geoid.h"
#include "settings_store/settings.h"
#include "test_root.h"

TEST(GeoidPeer, TheTableAgreesWithProjWithinWholeMetres) {
  char tmpl[] = "/tmp/ferrox-geoid-XXXXXX";
  ASSERT_NE(mkdtemp(tmpl), nullptr);
  std::string root = tmpl;
  std::filesystem::create_directories(root + "/Windows");
  std::filesystem::copy_file(std::string(FERROX_SOURCE_DIR) + "/data/AltitudeTable_1.RAW",
                             root + "/Windows/AltitudeTable_1.RAW");
  PlatformSetRoot(root);
  ResetDriverSettings();
  ResetGeoidState();
  // A Fibonacci lattice: 50 points evenly over the sphere, none on a grid node.
  std::vector<std::pair<double, double>> points;
  std::ostringstream input;
  for (int i = 0; i < 50; ++i) {
    double lat = std::asin(-1 + (2 * i + 1) / 50.0) * 180 / M_PI;
    double lon = std::fmod(i * 137.50776405003785 + 0.37, 360.0) - 180;
    points.push_back({lat, lon});
    input.precision(10);
    input << lon << " " << lat << " 0\n";
  }
  std::string in = root + "/points.txt";
  std::ofstream(in) << input.str();
  std::string out;
  ASSERT_EQ(RunCommand("cct -d 6 +proj=vgridshift +grids=egm96_15.gtx +multiplier=1 '" + in + "'", &out), 0);
  std::istringstream lines(out);
  double sum = 0, worst = 0;
  int n = 0;
  for (auto [lat, lon] : points) {
    double x, y, z;
    std::string t;
    ASSERT_TRUE(static_cast<bool>(lines >> x >> y >> z >> t)) << out;
    float ours = 0;
    ASSERT_EQ(GetGeoid(lat, lon, &ours), 0);
    double d = ours - z;
    sum += d * d;
    worst = std::max(worst, std::fabs(d));
    ++n;
  }
  double rms = std::sqrt(sum / n);
  printf("geoid table against PROJ EGM96 at %d points: RMS %.2f m, worst %.2f m\n", n, rms, worst);
  RecordProperty("rms_m", std::to_string(rms));
  RecordProperty("worst_m", std::to_string(worst));
  EXPECT_LT(rms, 2.0);
  EXPECT_LT(worst, 6.0);
  PlatformRegistryClose();
  std::filesystem::remove_all(root);
}
