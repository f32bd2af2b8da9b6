// Internal: the batch generation and pacing shared by the read path and the serial emulation.
#pragma once
#include "channels.h"

LONG GenerateBatch(Channel& c, bool raw);
void PaceChannel(Channel& c);
LONG ChannelDelay(const Channel& c);
