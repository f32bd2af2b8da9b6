// The NMEA server, on TCP and on a Unix socket (NmeaSocket, what a desktop's location service
// reads): every client of either gets the batches of one channel of the driver registered under
// `driverKey`, held while at least one client is connected. Each batch is made once and offered
// to all of them.
#pragma once
#include <string>

bool StartTcpServer(const std::string& address, unsigned port, const std::u16string& driverKey, bool allowWrites,
                    std::string* error);
bool StartNmeaSocket(const std::string& path, unsigned mode, const std::u16string& driverKey, bool allowWrites,
                     std::string* error);
// Stops both listeners (the Unix socket's file is removed) and the channel.
void StopTcpServer();
