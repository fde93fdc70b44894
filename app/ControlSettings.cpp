#include "app/ControlSettings.h"

ControlSettings settings;
