// The cell service as the extras page controls it: one service handle per call, and the two
// removals the page offers.
#pragma once
#include "platform/types.h"

#define CELL_SERVICE_NAME u"Towerkin"
#define CELL_SERVICE_DEVICE u"TWK1:"

// Each returns 1 when the service took the call (Refresh and Start activate the service by
// name when it has no handle).
int CellServiceExport();
// The map of the learned cells and of the imported ones ("<MCC>-imported.gpx": a whole public
// export makes a very large file, so only this button asks for it).
int CellServiceExportWithImported();
int CellServiceUpdate();
int CellServiceRefresh();
int CellServiceStart();
int CellServiceStop();
// The service's status word: non-zero while it runs, 0 when it has no handle.
DWORD CellServiceStatus();
// Stops it if it runs, else starts it; returns the status afterwards.
DWORD CellServiceToggle();
// Stops, uninstalls and deregisters the service; returns the status afterwards.
DWORD KillCellService();
// Deletes the geoid table on the storage card and in \Windows; altitude correction goes off.
void RemoveAltitudeTable();
