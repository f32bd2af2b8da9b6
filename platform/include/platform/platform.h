// Everything the deliverables use from the platform.
#pragma once
#include "platform/types.h"
#include "platform/kernel.h"
#include "platform/time.h"
#include "platform/files.h"
#include "platform/registry.h"
#include "platform/wide.h"
#include "platform/format.h"
#include "platform/beep.h"
#include "platform/gps_api.h"
#include "platform/serial.h"
#include "platform/devices.h"
