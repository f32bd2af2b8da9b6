// The NMEA TCP server: one channel per client of the driver registered under `driverKey`.
#pragma once
#include <string>

bool StartTcpServer(const std::string& address, unsigned port, const std::u16string& driverKey, bool allowWrites,
                    std::string* error);
void StopTcpServer();
