// C++ firmware data: namespaces, classes with base classes, static members.
#include "inc/limits.h"

namespace motor {

class Base {
public:
    int id;
};

class Drive : public Base {
public:
    Limits limits;
    bool enabled;
    static unsigned short count;
    char name[4];
};

unsigned short Drive::count = 2;
Drive front;

namespace detail {
int calibration[4] = {1, 2, 3, 4};
}

}  // namespace motor

motor::Drive rear;
typedef Limits LimitsT;
LimitsT spare = {1, 2};

int main() { return motor::front.id + rear.limits.high + motor::detail::calibration[2]; }
