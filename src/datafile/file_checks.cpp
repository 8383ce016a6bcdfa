#include "datafile/file_checks.h"
