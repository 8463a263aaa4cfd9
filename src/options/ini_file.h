// Settings from the INI file.
#pragma once

#include "options/options.h"

void read_ini_file(char** argv, Options* options);
