#include "RawConvert.h"
