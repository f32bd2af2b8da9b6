// The virtual port for Linux programs: a pseudo-terminal with a stable link, holding one driver
// channel while some program has the terminal open and none while no program does. The channel
// is of the driver registered under `driverKey`, under whatever port name it has now.
#pragma once
#include <string>

bool StartPtyBridge(const std::string& link, const std::u16string& driverKey, bool allowWrites, std::string* error);
void StopPtyBridge();
// Lets the members of `group` read and write the virtual port (0660): what a system's gpsd needs,
// which opens added devices as its own user of the dialout group. False, with why, when it cannot.
bool ShareVirtualPort(const char* group, std::string* error);
// The terminal behind the link (/dev/pts/N): what a program outside the private data root opens.
std::string VirtualPortTerminal();
