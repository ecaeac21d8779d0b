// Pump controller objects (C++ part).
#include <stdint.h>

#include "calibration.h"

namespace pump {

class Actuator {
public:
    explicit Actuator(uint8_t channel) : channel_(channel) {}
    virtual ~Actuator() = default;
    virtual void apply(int16_t demand) { lastDemand_ = demand; }

protected:
    uint8_t channel_;
    int16_t lastDemand_ = 0;
};

class Valve : public Actuator {
public:
    explicit Valve(uint8_t channel) : Actuator(channel) {}
    void apply(int16_t demand) override {
        Actuator::apply(demand);
        position_ = static_cast<uint16_t>(demand < 0 ? 0 : demand);
        ++moves;
    }

    static uint32_t moves;

private:
    uint16_t position_ = 0;
    bool open_ = false;
};

uint32_t Valve::moves = 0;

struct Limits {
    int16_t minimum;
    int16_t maximum;
};

Valve inletValve(1);
Valve outletValve(2);
Limits demandLimits = {-500, 500};

}  // namespace pump

// Same name as the flag of calibration.c: kestrelmap reports it in the
// style-warnings log.
static uint8_t moduleReady;

namespace {
int16_t clampDemand(int32_t demand) {
    if (demand < pump::demandLimits.minimum) return pump::demandLimits.minimum;
    if (demand > pump::demandLimits.maximum) return pump::demandLimits.maximum;
    return static_cast<int16_t>(demand);
}
}  // namespace

extern "C" void controller_step(uint16_t pressureRaw) {
    static uint16_t stepCounter = 0;
    ++stepCounter;
    const uint32_t calls = calibration_task(pressureRaw);
    moduleReady = calls != 0;
    const int16_t demand = clampDemand(static_cast<int32_t>(calls & 0x3FF) - 512);
    pump::inletValve.apply(demand);
    pump::outletValve.apply(static_cast<int16_t>(-demand));
}

int main() {
    calibration_reset();
    for (uint16_t raw = 0;; raw = static_cast<uint16_t>(raw + 37)) controller_step(raw);
}
