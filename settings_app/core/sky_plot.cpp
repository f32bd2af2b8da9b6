// Sky plot geometry.
#include "sky_plot.h"
#include <algorithm>
#include <cmath>

namespace {

constexpr double kPi = 3.14159265358979323846;
constexpr int kScaleLabelHeight = 16;

int Snr(const FixRecord& r, int slot, int scale) {
  DWORD v = r.InViewSnr[slot];
  return static_cast<int>(std::min<DWORD>(v, static_cast<DWORD>(scale)));
}

}  // namespace

void LayoutSkyPlot(int width, int height, SkyLayout* l) {
  width = std::max(width, 1);
  height = std::max(height, 1);
  l->landscape = height < width;
  if (l->landscape) {
    l->margin = height * 6 / 100;
    l->radius = std::min(height / 2 - l->margin, width * 30 / 100);
  } else {
    l->margin = width * 6 / 100;
    l->radius = std::min(width / 2 - l->margin, height * 30 / 100);
  }
  l->radius = std::max(l->radius, 1);
  l->centreX = l->radius + l->margin;
  l->centreY = l->radius + l->margin;
  const int plotEnd = 2 * (l->radius + l->margin);
  if (l->landscape) {
    l->barLeft = plotEnd;
    l->barTop = l->margin + kScaleLabelHeight;
    l->barWidth = width - plotEnd - l->margin;
    l->barHeight = height - l->barTop - l->margin - kScaleLabelHeight;
  } else {
    l->barLeft = l->margin;
    l->barTop = plotEnd + kScaleLabelHeight;
    l->barWidth = width - 2 * l->margin;
    l->barHeight = height - l->barTop - l->margin - kScaleLabelHeight;
  }
  l->barWidth = std::max(l->barWidth, 0);
  l->barHeight = std::max(l->barHeight, 0);
}

int SkyPlotDrawable(const FixRecord& r) { return (r.ValidFields & FIX_IN_VIEW_GROUP) == FIX_IN_VIEW_GROUP; }

int SatellitePoint(const SkyLayout& l, const FixRecord& r, int slot, int* x, int* y) {
  if (slot < 0 || slot >= kMaxSatellites) return 0;
  DWORD elevation = r.InViewElevation[slot], azimuth = r.InViewAzimuth[slot];
  if (elevation == 0 && azimuth == 0) return 0;
  // The zenith at the centre, the horizon on the rim: the distance from the centre is 90 degrees
  // less the elevation (the plot once drew it the other way round, a wrong picture of the sky).
  double distance = (90 - std::min<DWORD>(elevation, 90)) * l.radius / 90.0;
  double angle = (azimuth % 360) * kPi / 180.0;
  *x = l.centreX + static_cast<int>(std::lround(distance * std::sin(angle)));
  *y = l.centreY - static_cast<int>(std::lround(distance * std::cos(angle)));
  return 1;
}

int SnrScale(const FixRecord& r) {
  DWORD largest = 0;
  for (int i = 0; i < kMaxSatellites; ++i) largest = std::max(largest, r.InViewSnr[i]);
  if (largest == 0 || largest >= 90) return 100;
  return static_cast<int>((largest + 10) / 10 * 10);
}

int SnrScaleLabel(int scale) { return std::min(scale, 99); }

void SkyBars(const SkyLayout& l, const FixRecord& r, SkyBar bars[kMaxSatellites]) {
  struct Key {
    int slot, x, y;
  } keys[kMaxSatellites];
  for (int i = 0; i < kMaxSatellites; ++i) {
    keys[i] = {i, 0, 0};
    SatellitePoint(l, r, i, &keys[i].x, &keys[i].y);
  }
  // Slots without a PRN keep their place; the others are sorted among the remaining places.
  int places[kMaxSatellites], sortable = 0;
  Key sorted[kMaxSatellites];
  for (int i = 0; i < kMaxSatellites; ++i)
    if (r.InViewPrns[i]) {
      places[sortable] = i;
      sorted[sortable++] = keys[i];
    }
  std::stable_sort(sorted, sorted + sortable,
                   [](const Key& a, const Key& b) { return a.x != b.x ? a.x < b.x : a.y < b.y; });
  int order[kMaxSatellites];
  for (int i = 0; i < kMaxSatellites; ++i) order[i] = i;
  for (int k = 0; k < sortable; ++k) order[places[k]] = sorted[k].slot;
  const int scale = SnrScale(r);
  for (int i = 0; i < kMaxSatellites; ++i) {
    const int slot = order[i];
    SkyBar& b = bars[i];
    b.slot = slot;
    b.prn = r.InViewPrns[slot];
    const int snr = Snr(r, slot, scale);
    b.height = snr * l.barHeight / scale;
    const int g = snr * 200 / scale;
    bool used = false;
    for (int u = 0; u < kMaxSatellites && b.prn; ++u) used = used || r.UsedPrns[u] == b.prn;
    b.red = 200 - g;
    b.green = g;
    b.blue = used ? 200 : 0;
  }
}

namespace {

int Overlap(const SkyLabel& a, int left, int top, int width, int height) {
  int w = std::min(a.left + a.width, left + width) - std::max(a.left, left);
  int h = std::min(a.top + a.height, top + height) - std::max(a.top, top);
  return w > 0 && h > 0 ? w * h : 0;
}

}  // namespace

void PlaceSkyLabels(const SkyLayout& l, const FixRecord& r, int dot, int width, int height,
                    SkyLabel labels[kMaxSatellites]) {
  SkyLabel dots[kMaxSatellites];
  for (int i = 0; i < kMaxSatellites; ++i) {
    int x, y;
    labels[i] = SkyLabel{};
    dots[i] = SkyLabel{};
    if (!SatellitePoint(l, r, i, &x, &y)) continue;
    dots[i] = {1, x - dot, y - dot, 2 * dot + 1, 2 * dot + 1, 0};
  }
  for (int i = 0; i < kMaxSatellites; ++i) {
    if (!dots[i].shown) continue;
    const int x = dots[i].left + dot, y = dots[i].top + dot;
    // Right, left, above, below, then the four corners; at the dot, then further out.
    const int directions[8][2] = {{1, 0}, {-1, 0}, {0, -1}, {0, 1}, {1, -1}, {-1, -1}, {1, 1}, {-1, 1}};
    constexpr int kRings = 5;
    int places[8 * kRings][2];
    for (int ring = 0; ring < kRings; ++ring) {
      const int gap = dot + 1 + ring * height;
      for (int k = 0; k < 8; ++k) {
        const int dx = directions[k][0], dy = directions[k][1];
        places[ring * 8 + k][0] = dx > 0 ? x + gap : dx < 0 ? x - gap - width : x - width / 2;
        places[ring * 8 + k][1] = dy > 0 ? y + gap : dy < 0 ? y - gap - height : y - height / 2;
      }
    }
    int best = 0, bestOverlap = -1;
    for (int k = 0; k < 8 * kRings && bestOverlap != 0; ++k) {
      int overlap = 0;
      for (int j = 0; j < kMaxSatellites; ++j) {
        if (dots[j].shown) overlap += Overlap(dots[j], places[k][0], places[k][1], width, height);
        if (labels[j].shown) overlap += Overlap(labels[j], places[k][0], places[k][1], width, height);
      }
      if (bestOverlap < 0 || overlap < bestOverlap) {
        best = k;
        bestOverlap = overlap;
      }
    }
    labels[i] = {1, places[best][0], places[best][1], width, height, best >= 8};
  }
}
