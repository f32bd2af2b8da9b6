// The bits of the EnableCells setting, read by the driver, the cell service and the settings
// program.
#pragma once
#include "platform/types.h"

constexpr DWORD CELLS_ENABLED = 1;        // the cell service runs
constexpr DWORD CELLS_WITH_GPS_ONLY = 2;  // ... only while the driver runs
constexpr DWORD CELLS_INTERNET = 4;       // unknown cells are looked up on the web
