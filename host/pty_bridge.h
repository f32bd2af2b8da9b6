// The virtual port for Linux programs: a pseudo-terminal with a stable link, holding one driver
// channel while some program has the terminal open and none while no program does. The channel
// is of the driver registered under `driverKey`, under whatever port name it has now.
#pragma once
#include <string>

bool StartPtyBridge(const std::string& link, const std::u16string& driverKey, bool allowWrites, std::string* error);
void StopPtyBridge();
