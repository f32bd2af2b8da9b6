// PosClient: the six GPS API calls, each forwarded unchanged as one message to "GPD0:".
#pragma once
#include "platform/gps_api.h"

// Exports the six calls of platform/gps_api.h.
