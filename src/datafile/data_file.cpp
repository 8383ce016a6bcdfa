#include "datafile/data_file.h"
