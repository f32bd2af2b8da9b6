// The maintenance jobs (also run by the Control code of the service).
#pragma once

// Writes "\Quorvale\<MCC>.gpx" with a waypoint for every cell with a position.
void ExportTowerMap();
// Imports old per-LAC files, then looks up cells still without a position.
void UpdateCellDatabase();
