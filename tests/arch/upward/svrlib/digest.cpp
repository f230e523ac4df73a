#include "common_header.h"
#include "log.h"
