#include "mfm/flux.h"
