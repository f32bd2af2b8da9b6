// The host socket: other processes open, read, write and control the devices of this process.
#pragma once
#include <string>

// Listens on `path` with the given mode; false (with `error` set) when it cannot.
bool StartSocketServer(const std::string& path, unsigned mode, std::string* error);
void StopSocketServer();
