#include "run/device_types.h"
