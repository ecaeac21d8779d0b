// A Cortex-M4 program that pulls a large part of libstdc++ and newlib into
// the image: iostreams, string streams, locales, std::map, exceptions. Its
// debugging information is the benchmark's library-heavy input.
#include <cstddef>
#include <exception>
#include <fstream>
#include <iomanip>
#include <iostream>
#include <locale>
#include <map>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

struct Calibration {
    int gain;
    float offset;
    unsigned char mode : 3;
    unsigned char enable : 1;
    std::map<std::string, int> table;
};

static Calibration g_calibration[4];
std::map<std::string, double> g_parameters;
std::vector<std::string> g_names{"idle", "run"};

int main() {
    std::locale locale("");
    std::cout.imbue(locale);
    std::ostringstream os;
    os << std::setw(8) << 3.14 << std::hex << 255;
    std::istringstream is("12 13.5 word");
    int a = 0;
    double b = 0;
    std::string w;
    is >> a >> b >> w;
    std::wostringstream wos;
    wos << L"x" << 1.5;
    g_parameters[w] = b + a;
    g_calibration[a & 3].table[w] = a;
    try {
        throw std::runtime_error(os.str());
    } catch (const std::exception& e) {
        std::cerr << e.what() << '\n';
    }
    for (const auto& s : g_names) std::cout << s << std::endl;
    std::ofstream f("x");
    f << g_calibration[0].gain;
    return static_cast<int>(g_parameters.size());
}

// newlib's arc4random wants a source of entropy; this target has none.
extern "C" int getentropy(void*, std::size_t) { return -1; }
