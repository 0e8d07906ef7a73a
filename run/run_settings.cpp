#include "run/run_settings.h"

run_settings settings;
