/* Calibration data layout of the channel controller. */
#ifndef CALIB_H
#define CALIB_H

#include <stdint.h>

typedef enum { MODE_OFF, MODE_IDLE, MODE_RUN, MODE_FAULT } OperatingMode;

/* Bit fields in a byte unit. */
typedef struct {
    uint8_t enable : 1;
    uint8_t gain : 3;
    uint8_t spare : 4;
} ChannelFlags;

/* Bit fields in a 16-bit unit. */
typedef struct {
    uint16_t raw : 12;
    uint16_t valid : 1;
    uint16_t range : 3;
} AdcWord;

/* Bit fields in a 32-bit unit, after an ordinary member. */
typedef struct {
    uint8_t bus;
    uint32_t id : 11;
    uint32_t dlc : 4;
    uint32_t rtr : 1;
    uint32_t prio : 7;
} CanHeader;

/* Packed telemetry frame: span and acc cross the boundary of their unit. */
typedef struct __attribute__((packed)) {
    uint8_t tag;
    uint8_t low : 4;
    uint8_t span : 6;
    uint16_t wide : 10;
    uint32_t acc : 30;
    uint32_t tail : 12;
} PackedTelemetry;

typedef struct {
    int16_t x;
    int16_t y;
} CurvePoint;

typedef struct {
    uint16_t id;
    ChannelFlags flags;
    AdcWord adc;
    CanHeader can;
    union {
        uint32_t word;
        uint8_t bytes[4];
        struct {
            uint16_t lo;
            uint16_t hi;
        } half;
    } raw;
    union {
        float scale;
        int32_t fixedScale;
    };
    struct {
        uint8_t trim;
        int8_t offset;
        uint8_t bank : 2;
        uint8_t page : 5;
    };
    CurvePoint curve[10];
    int32_t grid[3][4];
    OperatingMode mode;
    const uint8_t *label;
    const uint16_t revision;
} CalChannel;

/* Everything after the bulk buffer lies beyond offset 65535. */
typedef struct {
    uint32_t head;
    uint8_t bulk[70000];
    uint32_t tail;
    AdcWord lateAdc;
    double lateGain;
    int64_t lateCounter;
} TraceBuffer;

#ifdef __cplusplus
extern "C" {
#endif

extern volatile uint32_t g_errorCount;

uint32_t Scheduler_Tick(void);
uint32_t Calib_Checksum(void);
uint32_t Drive_Run(void);

#ifdef __cplusplus
}
#endif

#endif
