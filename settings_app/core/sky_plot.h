// The geometry of the satellite plot: where the sky circle and the signal bars go in a window
// of a given size, where each satellite lies, the bars' scale, order and colours. Out-of-range
// elevations and signal strengths are clamped so that nothing is drawn outside its area.
#pragma once
#include "support/fix_record.h"

struct SkyLayout {
  int landscape;
  int margin;
  int radius;
  int centreX, centreY;
  int barLeft, barTop, barWidth, barHeight;  // the bar area, below its scale label
};

struct SkyBar {
  int slot;      // the in-view slot
  DWORD prn;     // 0: an empty outline
  int height;    // pixels
  int red, green, blue;
};

void LayoutSkyPlot(int width, int height, SkyLayout* layout);
// 1 when the record has the whole in-view group.
int SkyPlotDrawable(const FixRecord& record);
// The satellite of a slot: 1 and its point when its elevation or azimuth is not 0.
int SatellitePoint(const SkyLayout& layout, const FixRecord& record, int slot, int* x, int* y);
// The bars' full scale: a multiple of 10 above the largest SNR, 100 when none or 100 or more.
int SnrScale(const FixRecord& record);
// The scale as its label shows it (at most 99).
int SnrScaleLabel(int scale);
// The twelve bars, ordered by the x then y of their satellites (no position counts as 0, 0).
void SkyBars(const SkyLayout& layout, const FixRecord& record, SkyBar bars[kMaxSatellites]);

// Where a satellite's number goes: a box beside its dot, chosen so that no number hides another
// or a dot. `shown` is 0 for a slot without a satellite point.
struct SkyLabel {
  int shown;
  int left, top, width, height;
  int away;  // 1: placed off its dot (a crowded sky): a line joins them
};
// Places the labels of `width` x `height` pixels for dots of radius `dot`: for each satellite the
// first place around its dot (eight directions, nearest first, then further out) that overlaps no
// dot and no label placed before, else the place that overlaps least.
void PlaceSkyLabels(const SkyLayout& layout, const FixRecord& record, int dot, int width, int height,
                    SkyLabel labels[kMaxSatellites]);
