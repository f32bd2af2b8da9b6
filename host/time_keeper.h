// While the driver feeds a time daemon (ChronySocket), frxd holds a channel of its own open, so
// the receiver is read and the daemon gets its samples with no program on the port.
#pragma once
#include <string>

void StartTimeKeeper(const std::u16string& driverKey, const std::string& daemonSocket);
void StopTimeKeeper();
