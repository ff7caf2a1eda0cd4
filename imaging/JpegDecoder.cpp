#include "JpegDecoder.h"
