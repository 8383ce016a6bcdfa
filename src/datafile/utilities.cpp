#include "datafile/utilities.h"
