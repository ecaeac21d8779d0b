/* Calibration tables and controller state of the channel controller. */
#include "calib.h"

volatile uint32_t g_errorCount;

__attribute__((used)) CalChannel calChannels[2];
__attribute__((used)) CalChannel calSingle[1];
__attribute__((used)) uint8_t lut1[1];
__attribute__((used)) int16_t lut2[2];
__attribute__((used)) uint16_t lut10[10];
__attribute__((used)) uint8_t lut20[20];
__attribute__((used)) int8_t lut200[200];
__attribute__((used)) float map3d[2][3][20];
__attribute__((used)) ChannelFlags flagBank[20];
__attribute__((used)) PackedTelemetry telemetry;
__attribute__((used)) TraceBuffer traceBuffer;
__attribute__((used)) OperatingMode g_mode = MODE_IDLE;
__attribute__((used)) volatile AdcWord adcLive;
__attribute__((used)) uint16_t *g_adcCursor = &lut10[3];
__attribute__((used)) void (*g_isrHook)(void);
__attribute__((used)) const int32_t calLimits[4] = {-100, 100, -5, 5};
__attribute__((used)) const uint8_t *const g_bootLabel = (const uint8_t *)"boot";
__attribute__((used)) _Atomic uint8_t g_readyFlag;
__attribute__((used)) _Atomic _Bool g_lockFlag;
__attribute__((used)) int64_t g_uptime;
__attribute__((used)) double g_temperature;
__attribute__((used)) char g_serial[16];

static uint16_t s_checksum;

uint32_t Scheduler_Tick(void)
{
    static uint32_t tickCount;
    static uint8_t slotLoad[10];
    slotLoad[tickCount % 10]++;
    return ++tickCount;
}

uint32_t Calib_Checksum(void)
{
    s_checksum += (uint16_t)calChannels[0].id + lut1[0] + (uint16_t)g_readyFlag;
    return s_checksum;
}

int main(void)
{
    for (;;) {
        g_errorCount += Scheduler_Tick() + Calib_Checksum() + Drive_Run();
    }
}

/* Reset entry: the image is linked without the C library's start files. */
void _start(void)
{
    (void)main();
}
