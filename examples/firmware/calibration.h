/* Calibration data and measurement signals of the pump controller. */
#ifndef CALIBRATION_H
#define CALIBRATION_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef enum {
    PUMP_OFF = 0,
    PUMP_PRIMING = 1,
    PUMP_RUNNING = 2,
    PUMP_FAULT = 7
} PumpState;

typedef struct {
    uint16_t enableHeater : 1;
    uint16_t enablePump : 1;
    uint16_t sensorMode : 3;
    uint16_t reserved : 11;
} ControlFlags;

typedef union {
    uint32_t word;
    uint8_t bytes[4];
    struct {
        uint16_t low;
        uint16_t high;
    } halves;
} RawRegister;

#define CAL_CURVE_POINTS 8

typedef struct {
    uint32_t magic;
    ControlFlags flags;
    int16_t temperatureOffset;
    uint16_t pressureCurve[CAL_CURVE_POINTS];
    float gains[3];
    int8_t trim[2][4];
    PumpState startState;
} Calibration;

extern const Calibration calibrationDefaults;
extern volatile Calibration calibration;
extern volatile RawRegister statusRegister;
extern volatile PumpState pumpState;
extern volatile uint32_t tickCount;

void calibration_reset(void);
uint32_t calibration_task(uint16_t pressureRaw);

#ifdef __cplusplus
}
#endif

#endif
