#include "tests/unit/nodefixture.h"

time_t NodeFixture::clockvalue = 0;
