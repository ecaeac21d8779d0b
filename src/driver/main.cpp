// The kestrelmap program: everything happens in the driver.
#include <csignal>
#include <iostream>

#include "driver/Driver.h"
#include "driver/WindowsCommandLine.h"

int main(int argc, char** argv) {
#ifdef _WIN32
    // Inside the program every path is UTF-8; Windows hands over the
    // arguments in UTF-16.
    const kestrel::driver::Utf8Arguments arguments(argc, argv);
    kestrel::driver::useUtf8Console();
    return kestrel::driver::runDriver(arguments.argc(), arguments.argv(), std::cout);
#else
    // A file-size limit (ulimit -f) must make a write fail and be reported,
    // not end the program before it can keep the earlier outputs intact.
    std::signal(SIGXFSZ, SIG_IGN);
    return kestrel::driver::runDriver(argc, argv, std::cout);
#endif
}
