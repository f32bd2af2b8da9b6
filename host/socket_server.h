// The host socket: other processes open, read, write and control the devices of this process.
#pragma once
#include <string>

// Listens on `path` with the given mode; false (with `error` set) when it cannot.
bool StartSocketServer(const std::string& path, unsigned mode, std::string* error);
void StopSocketServer();
// Serves one connection on `fd` until the client closes it (or sends anything malformed), then
// closes `fd`; what the acceptor runs on a thread for each client.
void ServeConnection(int fd);
