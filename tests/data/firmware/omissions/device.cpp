// The C++ unit, built with -g -O2. Device's key function (run) is defined in
// device_impl.cpp, built without -g, so this unit describes Device only by a
// declaration: `unit` has a type that is not found.
struct Device {
    virtual void run();
    int state;
};
Device unit;

extern const int limits[3];
const int limits[3] = {7, 8, 9};  // constant data

namespace pump {
int level;  // listed
}

extern "C" int device(int x) {
    unit.run();
    pump::level += x;
    return limits[x % 3] + pump::level;
}
