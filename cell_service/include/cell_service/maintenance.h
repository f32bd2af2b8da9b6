// The maintenance jobs (also run by the Control code of the service).
#pragma once

// Writes "\Quorvale\<MCC>.gpx" with a waypoint for every cell with a position.
void ExportTowerMap();
// Writes "\Quorvale\<MCC>-imported.gpx" with a waypoint for every imported cell of the country
// (asked for only: a public export makes a very large map). Returns the files written.
int ExportImportedMap();
// Imports old per-LAC files, then looks up cells still without a position.
void UpdateCellDatabase();
