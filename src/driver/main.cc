#include "driver/run.h"

int main(int argc, char** argv) { return binsift_main(argc, argv); }
