// Firmware-like C++ source for the line scanner comparison: namespaces,
// classes with base classes and static members, templates and references.
#include <stdint.h>

namespace motor {
enum class State : uint8_t { Idle, Run = 7, Error = 255 };

struct Base {
    virtual ~Base() = default;
    uint16_t id;
};

class Drive : public Base {
public:
    static uint32_t instances;
    int32_t position[3];
    State state;
    uint8_t flags : 4;
    Drive() : position{1, 2, 3}, state(State::Run), flags(3) { ++instances; }
    int32_t sum() const { return position[0] + position[1] + position[2]; }
};

uint32_t Drive::instances;

template <typename T, int N>
struct Ring {
    T items[N];
    unsigned head;
    void push(T v) { items[head++ % N] = v; }
};
}  // namespace motor

motor::Drive drive;
motor::Ring<int16_t, 8> ring;
motor::Ring<float, 2> ringF;
const motor::Drive *const current = &drive;
int32_t &alias = drive.position[1];

// No heap in this firmware: the deleting destructor of Base needs these.
void operator delete(void *) noexcept {}
void operator delete(void *, unsigned) noexcept {}

int main()
{
    for (;;) {
        ring.push(static_cast<int16_t>(current->sum()));
        ringF.push(1.0f);
        alias++;
    }
}
