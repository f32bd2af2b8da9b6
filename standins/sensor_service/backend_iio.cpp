// Sensors read from Linux IIO devices in sysfs: an accelerometer (in_accel_{x,y,z}_raw) and a
// compass that gives its heading as a channel (in_rot_from_north_magnetic*, e.g. a "magn_3d"
// device). Each read takes the current values from the files, as one sample.
#include <dirent.h>
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <vector>
#include "sensor_backend.h"

namespace {

constexpr double kStandardGravity = 9.80665;  // m/s^2 per g

bool ReadNumber(const std::string& path, double* value) {
  std::ifstream in(path);
  double v;
  if (!(in >> v) || !std::isfinite(v)) return false;
  *value = v;
  return true;
}

bool Exists(const std::string& path) { return std::ifstream(path).good(); }

// The first of the files that holds a number, else `fallback`.
double FirstNumber(std::initializer_list<std::string> paths, double fallback) {
  double v;
  for (const std::string& p : paths)
    if (ReadNumber(p, &v)) return v;
  return fallback;
}

// "a, b, c; d, e, f; g, h, i": rows of the matrix from the sensor's axes to the device's.
bool ReadMountMatrix(const std::string& path, double m[3][3]) {
  std::ifstream in(path);
  std::string text;
  if (!std::getline(in, text)) return false;
  for (char& c : text)
    if (c == ',' || c == ';') c = ' ';
  std::istringstream values(text);
  for (int r = 0; r < 3; ++r)
    for (int c = 0; c < 3; ++c)
      if (!(values >> m[r][c]) || !std::isfinite(m[r][c])) return false;
  return true;
}

class IioBackend : public SensorBackend {
 public:
  IioBackend(std::string accel, std::string compass) : accel_(std::move(accel)), compass_(std::move(compass)) {
    for (int r = 0; r < 3; ++r)
      for (int c = 0; c < 3; ++c) matrix_[r][c] = r == c;
    if (!accel_.empty() && !ReadMountMatrix(accel_ + "/in_accel_mount_matrix", matrix_))
      ReadMountMatrix(accel_ + "/mount_matrix", matrix_);
  }
  const char* Name() const override { return "iio"; }

  bool ReadAcceleration(int* x, int* y, int* z) override {
    if (accel_.empty()) return false;
    double v[3];
    const char* axes[3] = {"x", "y", "z"};
    for (int i = 0; i < 3; ++i) {
      std::string a = accel_ + "/in_accel_" + axes[i];
      double raw;
      if (!ReadNumber(a + "_raw", &raw)) return false;
      double scale = FirstNumber({a + "_scale", accel_ + "/in_accel_scale"}, 1);
      double offset = FirstNumber({a + "_offset", accel_ + "/in_accel_offset"}, 0);
      v[i] = (raw + offset) * scale;  // m/s^2 along the sensor's axis
    }
    double d[3];
    for (int r = 0; r < 3; ++r) d[r] = matrix_[r][0] * v[0] + matrix_[r][1] * v[1] + matrix_[r][2] * v[2];
    // IIO's device frame (x right, y to the top of the screen, z out of the screen) carries
    // gravity as it pulls: -y when upright, -z lying screen up. The device's reading is the
    // other way for x and y (upright is +Y, right side up is +X) and the same for z
    // (screen up is -Z).
    *x = Milli(-d[0]);
    *y = Milli(-d[1]);
    *z = Milli(d[2]);
    return true;
  }
  bool ReadHeading(double* degrees) override {
    if (compass_.empty() || !compassOn_) return false;
    for (const char* channel : {"in_rot_from_north_magnetic_tilt_comp", "in_rot_from_north_magnetic"}) {
      std::string c = compass_ + "/" + channel;
      double raw;
      if (!ReadNumber(c + "_raw", &raw)) continue;
      double scale = FirstNumber({c + "_scale", compass_ + "/in_rot_scale"}, 1);
      double offset = FirstNumber({c + "_offset", compass_ + "/in_rot_offset"}, 0);
      double heading = std::fmod((raw + offset) * scale, 360.0);
      *degrees = heading < 0 ? heading + 360 : heading;
      return true;
    }
    return false;
  }
  bool CompassOn() override { return compassOn_ = !compass_.empty(); }
  void CompassOff() override { compassOn_ = false; }

 private:
  static int Milli(double metresPerSecond2) {
    double g = metresPerSecond2 / kStandardGravity * 1000;
    return static_cast<int>(std::lround(std::fmax(-32767, std::fmin(32767, g))));
  }
  std::string accel_, compass_;
  double matrix_[3][3];
  bool compassOn_ = false;
};

}  // namespace

std::unique_ptr<SensorBackend> MakeIioBackend(const std::string& root) {
  std::vector<std::string> devices;  // in name order, so that the first of several is always the same
  if (DIR* d = opendir(root.c_str())) {
    while (dirent* e = readdir(d))
      if (e->d_name[0] != '.') devices.push_back(root + "/" + e->d_name);
    closedir(d);
  }
  std::sort(devices.begin(), devices.end());
  std::string accel, compass;
  for (const std::string& dev : devices) {
    if (accel.empty() && Exists(dev + "/in_accel_x_raw")) accel = dev;
    if (compass.empty() && (Exists(dev + "/in_rot_from_north_magnetic_tilt_comp_raw") ||
                            Exists(dev + "/in_rot_from_north_magnetic_raw")))
      compass = dev;
  }
  if (accel.empty() && compass.empty()) return nullptr;
  return std::make_unique<IioBackend>(accel, compass);
}
