// One connection to gpsd per process: a thread that reads its reports, reconnects with back-off
// when gpsd goes away, and keeps the latest position with the tick it came at.
#pragma once
#include <string>
#include "platform/gps_api.h"

struct GpsdSettings {
  std::string host = "localhost";
  std::string port = "2947";
  std::string device;  // watch only this device of gpsd ("" = all)
};
// From Software\Quorvale\Gpsd ("Host", "Port", "Device").
GpsdSettings ReadGpsdSettings();

// Starts the thread (when not running); `onPosition` is called on it after each new position,
// `onState` when the connection comes or goes. False when it can't be started.
bool StartGpsdFeed(void (*onPosition)(), void (*onState)());
// Ends the thread and waits for it.
void StopGpsdFeed();
// The latest position and the tick it came at; false before the first one.
bool LatestGpsdPosition(GPS_POSITION* out, DWORD* tick);
bool GpsdConnected();
// Whether gpsd answers at the configured address now (a connection made and closed again).
bool GpsdReachable();
