/* Bit fields for a big-endian Cortex-R build: 1 to 32 bits wide in 8-, 16-
 * and 32-bit units, signed and unsigned, in ordinary and packed structures,
 * fields that straddle a unit boundary, and structures nested in arrays.
 * Every object is initialised so that it lies in .data. */
#include <stdint.h>

/* The layout of a flash status register. */
struct Status16 {
    uint16_t Reserved : 5;
    uint16_t Erase : 1;
    uint16_t rest : 10;
};

struct Bytes8 {
    uint8_t one : 1;
    uint8_t two : 2;
    uint8_t five : 5;
    int8_t small : 3;
    uint8_t four : 4;
    uint8_t tail : 1;
};

struct Words32 {
    uint32_t flag : 1;
    uint32_t seven : 7;
    uint32_t twelve : 12;
    int32_t negative : 11;
    uint32_t full : 32;
    uint32_t wide : 31;
    int32_t last : 17;
};

/* Fields that do not fit in what is left of their unit start a new one. */
struct Mixed {
    uint8_t a : 5;
    uint8_t b : 5;
    uint16_t c : 12;
    uint16_t d : 6;
    int16_t e : 9;
    uint32_t f : 20;
    uint32_t g : 14;
};

/* Packed: fields run on across unit boundaries. */
struct __attribute__((packed)) Packed {
    uint8_t a : 3;
    uint32_t b : 20;
    uint16_t c : 9;
    int8_t d : 4;
    uint8_t e : 7;
    uint8_t x : 3;
    int16_t s : 13;
    uint32_t w : 32;
    uint8_t end : 6;
};

struct Outer {
    uint8_t head;
    struct Status16 regs[2];
    struct Packed packed;
    struct Bytes8 bytes;
};

struct Status16 flashStatus = {1, 0, 0};
struct Bytes8 bytes8 = {1};
struct Words32 words32 = {1};
struct Mixed mixed = {1};
struct Packed packed = {1};
struct Outer outer[2] = {{1}};

int main(void) {
    return flashStatus.Erase + bytes8.two + (int)words32.seven + mixed.c + packed.e + outer[1].packed.x;
}
