#include "mfm/pll.h"
