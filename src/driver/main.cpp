// The kestrelmap program: everything happens in the driver.
#include <iostream>

#include "driver/Driver.h"

int main(int argc, char** argv) { return kestrel::runDriver(argc, argv, std::cout); }
