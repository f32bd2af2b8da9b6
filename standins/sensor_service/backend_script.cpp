// Sensors played from a script file of timed readings, for tests and demonstrations. Each line
// is "MS X Y Z HEADING": from MS milliseconds (platform clock) after the script was loaded the
// device reads acceleration X, Y, Z (thousandths of g, the device's axes) and HEADING degrees.
// "-" for X leaves the G-sensor without a reading, "-" for HEADING the compass; both "-" is a
// device that can't be read. "#" starts a comment. A file that changes is loaded again and its
// times count from then.
#include <cmath>
#include <fstream>
#include <mutex>
#include <sstream>
#include <vector>
#include "platform/time.h"
#include "sensor_backend.h"

namespace {

struct ScriptLine {
  DWORD ms = 0;
  bool hasAcceleration = false;
  int x = 0, y = 0, z = 0;
  bool hasHeading = false;
  double heading = 0;
};

bool ParseLine(const std::string& text, ScriptLine* line) {
  std::istringstream in(text.substr(0, text.find('#')));
  std::string ms, x, y, z, heading;
  if (!(in >> ms)) return false;
  if (!(in >> x >> y >> z >> heading)) return false;
  try {
    *line = ScriptLine{};
    line->ms = static_cast<DWORD>(std::stoul(ms));
    if (x != "-") {
      line->x = std::stoi(x);
      line->y = std::stoi(y);
      line->z = std::stoi(z);
      line->hasAcceleration = true;
    }
    if (heading != "-") {
      line->heading = std::stod(heading);
      line->hasHeading = std::isfinite(line->heading);
    }
  } catch (...) {
    return false;
  }
  return true;
}

class ScriptBackend : public SensorBackend {
 public:
  explicit ScriptBackend(std::string path) : path_(std::move(path)) {}
  const char* Name() const override { return "script"; }

  bool ReadAcceleration(int* x, int* y, int* z) override {
    std::lock_guard<std::mutex> lock(lock_);
    const ScriptLine* l = Current();
    if (!l || !l->hasAcceleration) return false;
    *x = l->x;
    *y = l->y;
    *z = l->z;
    return true;
  }
  bool ReadHeading(double* degrees) override {
    std::lock_guard<std::mutex> lock(lock_);
    const ScriptLine* l = Current();
    if (!compassOn_ || !l || !l->hasHeading) return false;
    *degrees = l->heading;
    return true;
  }
  bool CompassOn() override {
    std::lock_guard<std::mutex> lock(lock_);
    return compassOn_ = true;
  }
  void CompassOff() override {
    std::lock_guard<std::mutex> lock(lock_);
    compassOn_ = false;
  }

 private:
  // The line playing now, the script loaded anew first if its text changed (the file is small:
  // it is read at every reading).
  const ScriptLine* Current() {
    LoadIfChanged();
    const ScriptLine* current = nullptr;
    DWORD elapsed = GetTickCount() - loadedAt_;
    for (const ScriptLine& l : lines_)
      if (l.ms <= elapsed) current = &l;
    return current;
  }
  void LoadIfChanged() {
    std::ifstream in(path_);
    if (!in) return;  // a script removed keeps playing what it had
    std::stringstream whole;
    whole << in.rdbuf();
    std::string text = whole.str();
    if (loaded_ && text == text_) return;
    std::vector<ScriptLine> lines;
    std::istringstream each(text);
    std::string line;
    while (std::getline(each, line)) {
      ScriptLine l;
      if (ParseLine(line, &l)) lines.push_back(l);
    }
    lines_ = std::move(lines);
    text_ = std::move(text);
    loaded_ = true;
    loadedAt_ = GetTickCount();
  }

  std::mutex lock_;
  std::string path_;
  std::vector<ScriptLine> lines_;
  std::string text_;
  bool loaded_ = false, compassOn_ = false;
  DWORD loadedAt_ = 0;
};

}  // namespace

std::unique_ptr<SensorBackend> MakeScriptBackend(const std::string& path) {
  if (!std::ifstream(path).good()) return nullptr;
  return std::make_unique<ScriptBackend>(path);
}
