#include "datafile/hex_file.h"
