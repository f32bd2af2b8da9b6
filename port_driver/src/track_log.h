// Track logs of what came in (the parsed input of every read cycle) and what went out (every
// fix handed to an application): GPX tracks and CSV tables in the storage card's "\Quorvale".
#pragma once
#include "support/fix_record.h"

constexpr int TRACK_IN = 0;
constexpr int TRACK_OUT = 1;

void WriteTrackPoint(const FixRecord* fix, int direction);
// 1 when a line was written, 0 when the file could not be opened.
int WriteTrackCsv(const FixRecord* fix, int direction);
void CloseTrackLogs();
