// The program module's build stamp.
#pragma once

#include "common/module_stamp.h"

extern const ModuleStamp kProgramModule;
