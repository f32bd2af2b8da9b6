// Hands the virtual port to a running gpsd through its control socket (GpsdControl): added when
// frxd starts and again whenever that gpsd starts anew, removed when frxd stops.
#pragma once
#include <string>

// Starts watching `controlSocket`; `device` is what gpsd is told to read (the virtual port's
// terminal: gpsd, its own user, cannot pass the private data root to its link).
void StartGpsdHandoff(const std::string& controlSocket, const std::string& device);
// Stops watching and tells the gpsd that has the device to let it go.
void StopGpsdHandoff();
