// SVG by hand: a map panel with a metre grid and an error-over-time panel.
#include "lab_svg.h"
#include <algorithm>
#include <cmath>
#include <cstdio>

namespace {

constexpr int kWidth = 960, kHeight = 550, kPanel = 440, kMargin = 20;

struct Box {
  double minX, minY, maxX, maxY;
};

void Extend(Box* b, const std::vector<LabPoint>& v) {
  for (const LabPoint& p : v) {
    if (!std::isfinite(p.x) || !std::isfinite(p.y)) continue;
    b->minX = std::min(b->minX, p.x), b->maxX = std::max(b->maxX, p.x);
    b->minY = std::min(b->minY, p.y), b->maxY = std::max(b->maxY, p.y);
  }
}

Box BoundsOf(const LabSeries& s) {
  Box b{1e18, 1e18, -1e18, -1e18};
  Extend(&b, s.truth);
  Extend(&b, s.raw.points);
  for (const LabLine& line : s.outputs) Extend(&b, line.points);
  if (b.minX > b.maxX) b = {0, 0, 1, 1};
  // Square, with room around: one metre is the same on both axes.
  double span = std::max({b.maxX - b.minX, b.maxY - b.minY, 10.0}) * 1.1;
  double cx = (b.minX + b.maxX) / 2, cy = (b.minY + b.maxY) / 2;
  return {cx - span / 2, cy - span / 2, cx + span / 2, cy + span / 2};
}

// A step of 1, 2 or 5 times a power of ten giving 4 to 10 grid lines over `span`.
double GridStep(double span) {
  double step = std::pow(10, std::floor(std::log10(span / 5)));
  for (double m : {1.0, 2.0, 5.0, 10.0})
    if (span / (step * m) <= 10) return step * m;
  return step * 10;
}

void Polyline(FILE* f, const std::vector<LabPoint>& v, const Box& b, const char* colour, double width) {
  fprintf(f, "<polyline fill=\"none\" stroke=\"%s\" stroke-width=\"%.1f\" points=\"", colour, width);
  const double scale = kPanel / (b.maxX - b.minX);
  for (const LabPoint& p : v)
    if (std::isfinite(p.x) && std::isfinite(p.y))
      fprintf(f, "%.1f,%.1f ", kMargin + (p.x - b.minX) * scale, kMargin + (b.maxY - p.y) * scale);
  fprintf(f, "\"/>\n");
}

void Dots(FILE* f, const std::vector<LabPoint>& v, const Box& b, const char* colour) {
  const double scale = kPanel / (b.maxX - b.minX);
  for (const LabPoint& p : v)
    if (std::isfinite(p.x) && std::isfinite(p.y))
      fprintf(f, "<circle cx=\"%.1f\" cy=\"%.1f\" r=\"1.8\" fill=\"%s\"/>\n", kMargin + (p.x - b.minX) * scale,
              kMargin + (b.maxY - p.y) * scale, colour);
}

void ErrorLine(FILE* f, const std::vector<double>& e, double top, const char* colour) {
  const int left = kPanel + 3 * kMargin, width = kWidth - left - kMargin, height = kPanel - 60;
  fprintf(f, "<polyline fill=\"none\" stroke=\"%s\" stroke-width=\"1.2\" points=\"", colour);
  for (size_t i = 0; i < e.size(); ++i) {
    double v = std::isfinite(e[i]) ? std::min(e[i], top) : top;
    fprintf(f, "%.1f,%.1f ", left + width * static_cast<double>(i) / std::max<size_t>(1, e.size() - 1),
            kMargin + height * (1 - v / top));
  }
  fprintf(f, "\"/>\n");
}

// Text as SVG character data: a title may carry a user's file name.
std::string XmlText(const std::string& text) {
  std::string out;
  for (char c : text) {
    if (c == '&') out += "&amp;";
    else if (c == '<') out += "&lt;";
    else if (c == '>') out += "&gt;";
    else if (static_cast<unsigned char>(c) < 0x20) out += ' ';
    else out += c;
  }
  return out;
}

}  // namespace

bool WriteLabSvg(const std::string& path, const LabSeries& s) {
  FILE* f = fopen(path.c_str(), "w");
  if (!f) return false;
  fprintf(f, "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"%d\" height=\"%d\" font-family=\"sans-serif\" "
             "font-size=\"12\">\n<rect width=\"100%%\" height=\"100%%\" fill=\"white\"/>\n", kWidth, kHeight);
  const Box b = BoundsOf(s);
  const double scale = kPanel / (b.maxX - b.minX), step = GridStep(b.maxX - b.minX);
  for (double g = std::ceil(b.minX / step) * step; g <= b.maxX; g += step)
    fprintf(f, "<line x1=\"%.1f\" y1=\"%d\" x2=\"%.1f\" y2=\"%d\" stroke=\"#e4e4e4\"/>\n", kMargin + (g - b.minX) * scale,
            kMargin, kMargin + (g - b.minX) * scale, kMargin + kPanel);
  for (double g = std::ceil(b.minY / step) * step; g <= b.maxY; g += step)
    fprintf(f, "<line x1=\"%d\" y1=\"%.1f\" x2=\"%d\" y2=\"%.1f\" stroke=\"#e4e4e4\"/>\n", kMargin,
            kMargin + (b.maxY - g) * scale, kMargin + kPanel, kMargin + (b.maxY - g) * scale);
  fprintf(f, "<rect x=\"%d\" y=\"%d\" width=\"%d\" height=\"%d\" fill=\"none\" stroke=\"#888\"/>\n", kMargin, kMargin,
          kPanel, kPanel);
  if (!s.truth.empty()) Polyline(f, s.truth, b, "black", 2.0);
  Dots(f, s.raw.points, b, s.raw.colour);
  for (const LabLine& line : s.outputs) Polyline(f, line.points, b, line.colour, 1.2);
  // The legend under the map, each line's name in its colour.
  int ly = kMargin + kPanel + 20;
  fprintf(f, "<text x=\"%d\" y=\"%d\">grid %g m%s</text>\n", kMargin, ly, step, s.truth.empty() ? "" : ", truth in black");
  fprintf(f, "<text x=\"%d\" y=\"%d\" fill=\"%s\">dots: %s</text>\n", kMargin, ly += 18, s.raw.colour,
          XmlText(s.raw.name).c_str());
  for (const LabLine& line : s.outputs)
    fprintf(f, "<text x=\"%d\" y=\"%d\" fill=\"%s\">line: %s</text>\n", kMargin, ly += 18, line.colour,
            XmlText(line.name).c_str());
  const int left = kPanel + 3 * kMargin;
  fprintf(f, "<rect x=\"%d\" y=\"%d\" width=\"%d\" height=\"%d\" fill=\"none\" stroke=\"#888\"/>\n", left, kMargin,
          kWidth - left - kMargin, kPanel - 60);
  int y = kPanel - 10 + kMargin;
  if (s.raw.errors.empty()) {
    fprintf(f, "<text x=\"%d\" y=\"%d\">no truth track: no error to draw</text>\n", left, y);
  } else {
    // Every error at each read, on a scale that shows the receiver's p95 fully.
    double top = std::max(s.raw.p95, 1.0) * 1.5;
    for (const LabLine& line : s.outputs) top = std::max(top, line.p95 * 1.5);
    ErrorLine(f, s.raw.errors, top, s.raw.colour);
    for (const LabLine& line : s.outputs) ErrorLine(f, line.errors, top, line.colour);
    fprintf(f, "<text x=\"%d\" y=\"%d\">error at each read, 0 to %.0f m, over %zu reads</text>\n", left, y, top,
            s.raw.errors.size());
  }
  fprintf(f, "<text x=\"%d\" y=\"%d\" font-weight=\"bold\">%s</text>\n", left, y += 18,
          XmlText(s.title).c_str());
  if (!s.raw.errors.empty()) {
    fprintf(f, "<text x=\"%d\" y=\"%d\" fill=\"%s\">%s: mean %.1f m, p95 %.1f m</text>\n", left, y += 18,
            s.raw.colour, XmlText(s.raw.name).c_str(), s.raw.mean, s.raw.p95);
    for (const LabLine& line : s.outputs)
      fprintf(f, "<text x=\"%d\" y=\"%d\" fill=\"%s\">%s: mean %.1f m, p95 %.1f m</text>\n", left, y += 18,
              line.colour, XmlText(line.name).c_str(), line.mean, line.p95);
  }
  fprintf(f, "</svg>\n");
  return fclose(f) == 0;
}
