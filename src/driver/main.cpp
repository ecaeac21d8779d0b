// The kestrelmap program: everything happens in the driver.
#include <iostream>

#include "driver/Driver.h"
#include "driver/WindowsCommandLine.h"

int main(int argc, char** argv) {
#ifdef _WIN32
    // Inside the program every path is UTF-8; Windows hands over the
    // arguments in UTF-16.
    const kestrel::Utf8Arguments arguments(argc, argv);
    kestrel::useUtf8Console();
    return kestrel::runDriver(arguments.argc(), arguments.argv(), std::cout);
#else
    return kestrel::runDriver(argc, argv, std::cout);
#endif
}
