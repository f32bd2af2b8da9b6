// Internal: the history record and the guard that serialises every use of it.
#pragma once
#include "platform/platform.h"
#include "port_driver/correction.h"
#include "support/clock.h"

extern FixHistory g_History;

struct HistoryGuard {
  HistoryGuard();
  ~HistoryGuard();
  HistoryGuard(const HistoryGuard&) = delete;
  HistoryGuard& operator=(const HistoryGuard&) = delete;
};

// Copies the satellite counts, the five arrays and their valid bits.
void CopySatelliteData(FixRecord* to, const FixRecord* from);
