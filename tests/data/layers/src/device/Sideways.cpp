#include "device/Sideways.h"
#include "display/Fonts.h"
