// The module: its exports come from the static library, linked whole.
#include "api_client/pos_client.h"
