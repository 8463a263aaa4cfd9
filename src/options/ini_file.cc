#include "options/ini_file.h"

void read_ini_file(char** argv, Options* options) {
  (void)argv;
  (void)options;
}
