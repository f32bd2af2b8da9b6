// The NMEA TCP server: every client of it gets the batches of one channel of the driver
// registered under `driverKey`, held while at least one client is connected. Each batch is
// made once and offered to all of them.
#pragma once
#include <string>

bool StartTcpServer(const std::string& address, unsigned port, const std::u16string& driverKey, bool allowWrites,
                    std::string* error);
void StopTcpServer();
