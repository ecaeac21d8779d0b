/* Calibration handling and the periodic measurement task (C part). */
#include "calibration.h"

const Calibration calibrationDefaults = {
    .magic = 0x4B53544Cu,
    .flags = {.enableHeater = 1, .enablePump = 1, .sensorMode = 2, .reserved = 0},
    .temperatureOffset = -40,
    .pressureCurve = {0, 120, 260, 410, 580, 760, 950, 1150},
    .gains = {1.0f, 0.5f, 0.25f},
    .trim = {{1, -1, 2, -2}, {0, 0, 3, -3}},
    .startState = PUMP_OFF,
};

volatile Calibration calibration;
volatile RawRegister statusRegister;
volatile PumpState pumpState = PUMP_OFF;
volatile uint32_t tickCount;

static uint16_t lastPressure;
static int32_t filteredPressure = 100;
static uint8_t moduleReady;

void calibration_reset(void) {
    calibration.magic = calibrationDefaults.magic;
    calibration.flags.enableHeater = calibrationDefaults.flags.enableHeater;
    calibration.flags.enablePump = calibrationDefaults.flags.enablePump;
    calibration.flags.sensorMode = calibrationDefaults.flags.sensorMode;
    calibration.temperatureOffset = calibrationDefaults.temperatureOffset;
    for (int i = 0; i < CAL_CURVE_POINTS; ++i) {
        calibration.pressureCurve[i] = calibrationDefaults.pressureCurve[i];
    }
    for (int i = 0; i < 3; ++i) calibration.gains[i] = calibrationDefaults.gains[i];
    calibration.startState = calibrationDefaults.startState;
    pumpState = calibration.startState;
    moduleReady = 1;
}

static uint16_t curve_lookup(uint16_t raw) {
    unsigned index = raw >> 9;
    if (index >= CAL_CURVE_POINTS) index = CAL_CURVE_POINTS - 1;
    return calibration.pressureCurve[index];
}

uint32_t calibration_task(uint16_t pressureRaw) {
    /* Counts the calls, kept between calls. */
    static uint32_t callCounter;
    if (!moduleReady) return 0;
    ++callCounter;
    ++tickCount;

    lastPressure = curve_lookup(pressureRaw);
    filteredPressure += ((int32_t)lastPressure - filteredPressure) / 4;

    statusRegister.halves.low = (uint16_t)filteredPressure;
    statusRegister.halves.high = (uint16_t)pumpState;
    if (calibration.flags.enablePump && pumpState == PUMP_OFF) pumpState = PUMP_PRIMING;
    return callCounter;
}
