// The NMEA TCP server: one driver channel per client.
#pragma once
#include <string>

bool StartTcpServer(const std::string& address, unsigned port, const std::u16string& device, bool allowWrites,
                    std::string* error);
void StopTcpServer();
