// The virtual port for Linux programs: a pseudo-terminal with a stable link, holding one driver
// channel while some program has the terminal open and none while no program does.
#pragma once
#include <string>

bool StartPtyBridge(const std::string& link, const std::u16string& device, bool allowWrites, std::string* error);
void StopPtyBridge();
