/* Firmware-like C source for the line scanner comparison: globals of many
   kinds, bit fields, unions, enumerations, pointers and a few functions whose
   locals get location lists at -O1. */
#include <stdint.h>
#include <stddef.h>

typedef enum { MODE_OFF = 0, MODE_RUN = 1, MODE_FAULT = 0x7fffffff } Mode;

typedef struct {
    uint8_t ready : 1;
    uint8_t level : 3;
    int16_t speed;
    uint32_t raw[4];
    union { float f; uint32_t u; } conv;
} Channel;

struct Node { struct Node *next; const char *label; double weight; };

volatile uint32_t tickCount;
const int32_t limits[3][2] = { { -5, 5 }, { -10, 10 }, { -2147483647 - 1, 2147483647 } };
Channel channels[2];
Mode mode = MODE_RUN;
static struct Node nodes[2] = { { &nodes[1], "first", 1.5 }, { NULL, "second", -0.25 } };
char banner[] = "kestrel: firmware (test) build";
int64_t bigCounter = 0x123456789abcLL;
_Bool enabled = 1;

static int scale(int v, int k)
{
    int acc = 0;
    for (int i = 0; i < k; ++i)
        acc += v * i;
    return acc;
}

int step(int v)
{
    Channel *c = &channels[v & 1];
    c->speed = (int16_t)scale(v, c->level);
    tickCount++;
    return c->speed + nodes[0].label[0];
}

int main(void)
{
    for (;;)
        if (step((int)tickCount) < 0)
            mode = MODE_FAULT;
}
