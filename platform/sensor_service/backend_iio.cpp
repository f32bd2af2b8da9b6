// Sensors read from Linux IIO devices in sysfs: an accelerometer (in_accel_{x,y,z}_raw) and a
// compass that gives its heading as a channel (in_rot_from_north_magnetic*, e.g. a "magn_3d"
// device). Each read takes the current values from the files, as one sample.
#include <dirent.h>
#include <cmath>
#include <cstdio>
#include <fstream>
#include <sstream>
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

  bool Read(SensorSample* s) override {
    *s = SensorSample{};
    if (!accel_.empty()) {
      double v[3];
      const char* axes[3] = {"x", "y", "z"};
      bool all = true;
      for (int i = 0; i < 3 && all; ++i) {
        std::string a = accel_ + "/in_accel_" + axes[i];
        double raw;
        all = ReadNumber(a + "_raw", &raw);
        double scale = FirstNumber({a + "_scale", accel_ + "/in_accel_scale"}, 1);
        double offset = FirstNumber({a + "_offset", accel_ + "/in_accel_offset"}, 0);
        v[i] = (raw + offset) * scale;  // m/s^2 along the sensor's axis
      }
      if (all) {
        double d[3];
        for (int r = 0; r < 3; ++r) d[r] = matrix_[r][0] * v[0] + matrix_[r][1] * v[1] + matrix_[r][2] * v[2];
        // IIO's device frame (x right, y to the top of the screen, z out of the screen) carries
        // gravity as it pulls: -y when upright, -z lying screen up. The device's reading is the
        // other way for x and y (upright is +Y, right side up is +X) and the same for z
        // (screen up is -Z).
        s->x = Milli(-d[0]);
        s->y = Milli(-d[1]);
        s->z = Milli(d[2]);
        s->hasAcceleration = true;
      }
    }
    if (!compass_.empty() && compassOn_) {
      for (const char* channel : {"in_rot_from_north_magnetic_tilt_comp", "in_rot_from_north_magnetic"}) {
        std::string c = compass_ + "/" + channel;
        double raw;
        if (!ReadNumber(c + "_raw", &raw)) continue;
        double scale = FirstNumber({c + "_scale", compass_ + "/in_rot_scale"}, 1);
        double offset = FirstNumber({c + "_offset", compass_ + "/in_rot_offset"}, 0);
        double heading = std::fmod((raw + offset) * scale, 360.0);
        s->heading = heading < 0 ? heading + 360 : heading;
        s->hasHeading = true;
        break;
      }
    }
    return s->hasAcceleration || s->hasHeading;
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
  std::string accel, compass;
  if (DIR* d = opendir(root.c_str())) {
    while (dirent* e = readdir(d)) {
      if (e->d_name[0] == '.') continue;
      std::string dev = root + "/" + e->d_name;
      if (accel.empty() && Exists(dev + "/in_accel_x_raw")) accel = dev;
      if (compass.empty() && (Exists(dev + "/in_rot_from_north_magnetic_tilt_comp_raw") ||
                              Exists(dev + "/in_rot_from_north_magnetic_raw")))
        compass = dev;
    }
    closedir(d);
  }
  if (accel.empty() && compass.empty()) return nullptr;
  return std::make_unique<IioBackend>(accel, compass);
}
