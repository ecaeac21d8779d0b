// Motor drive objects of the channel controller.
#include <stdint.h>
#include "calib.h"

namespace drive {

struct Limits {
    int16_t min;
    int16_t max;
};

class Actuator {
public:
    uint8_t state;
    uint16_t faults : 5;
    uint16_t retries : 3;
    static uint32_t instances;
};

class Diagnostics {
public:
    uint32_t lastError;
    uint8_t history[2];
};

class Motor : public Actuator, public Diagnostics {
public:
    int32_t speed;
    Limits lim[2];
    static int16_t maxRpm;
    static Limits defaults;
    uint32_t step();
};

uint32_t Actuator::instances;
int16_t Motor::maxRpm = 6000;
Limits Motor::defaults = {-3000, 3000};

__attribute__((used)) Motor mainMotor;

namespace ctl {
__attribute__((used)) float kp = 0.5f;
__attribute__((used)) float ki;
__attribute__((used)) Motor motors[2];
__attribute__((used)) volatile uint8_t phase;
}  // namespace ctl

uint32_t Motor::step()
{
    static uint16_t calls;
    return ++calls + static_cast<uint32_t>(speed);
}

uint32_t poll()
{
    static uint8_t pollCount;
    return ++pollCount;
}

}  // namespace drive

namespace {
__attribute__((used)) uint16_t localWatchdog;
}

extern "C" uint32_t Drive_Run(void)
{
    ++localWatchdog;
    return drive::mainMotor.step() + drive::poll() + drive::ctl::motors[1].step() + g_errorCount;
}
