// Program entry.
#include "driver/driver.h"

int main(int argc, char** argv) { return iochurn::run_program(argc, argv); }
