#include "settings/ControlSettings.h"

ControlSettings settings;
