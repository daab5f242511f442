#include "flux_builder.h"
