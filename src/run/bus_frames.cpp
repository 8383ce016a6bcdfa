#include "run/bus_frames.h"
