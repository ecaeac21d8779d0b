// Classes whose key function (the first virtual function not defined inline)
// lies in keyed.cpp: clang describes them in every other unit only by a
// declaration, and the definition stays in keyed.cpp.
#include <stdint.h>

namespace keyed {

class Sensor {
public:
    Sensor();
    virtual int32_t read();
    int32_t raw;
    uint16_t gain : 6;
    uint16_t offset : 10;
    struct Window {
        virtual void slide();
        uint8_t samples[3];
    };
    Window window;
};

namespace bus {
struct Node {
    virtual uint8_t address();
    uint8_t id;
    int16_t load[2];
};
}  // namespace bus

}  // namespace keyed
