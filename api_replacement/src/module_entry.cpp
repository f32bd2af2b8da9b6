// The module: its exports come from the static library, linked whole.
#include "api_replacement/pos_shim.h"
