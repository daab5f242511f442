#include "flux_files.h"
