/* Plain C firmware data: scalars, bit fields, a union, an enum, arrays. */
typedef unsigned char u8;
typedef signed short s16;

enum Mode { MODE_OFF, MODE_ON, MODE_FAULT = 7 };

struct Flags {
    unsigned ready : 1;
    unsigned level : 3;
    signed trim : 4;
};

union Word {
    unsigned long all;
    u8 bytes[4];
};

struct Channel {
    s16 raw[3];
    struct Flags flags;
    union Word word;
    enum Mode mode;
    const volatile float *source;
};

volatile unsigned int tickCount;
struct Channel channels[2];
static long long total = 5;
const u8 table[2][3] = {{1, 2, 3}, {4, 5, 6}};
double gain = 1.5;

int main(void) {
    tickCount++;
    total += channels[1].raw[2] + table[1][1];
    return tickCount > 3u;
}
