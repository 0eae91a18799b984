/* Signed and unsigned 8/16/32-bit multiply, divide and modulo, shifts and
   a little floating point, folded into checksums in external RAM. */
#include <stdint.h>
#include "halt.h"

static const int16_t a16[] = {0, 1, -1, 7, -7, 255, -256, 1000, -1000, 32767, -32768, 12345};
static const int32_t a32[] = {0, 1, -1, 10, -10, 65535, -65536, 100000, -123456, 2147483647L, 99991};

__xdata uint8_t result[64];

static uint8_t at;

static void put16(uint16_t v)
{
    result[at++] ^= v >> 8;
    result[at++] ^= v;
    at &= 63;
}

static void put32(uint32_t v)
{
    put16(v >> 16);
    put16(v);
}

void main(void)
{
    for (uint8_t i = 0; i < sizeof a16 / sizeof a16[0]; i++) {
        for (uint8_t j = 0; j < sizeof a16 / sizeof a16[0]; j++) {
            int16_t x = a16[i], y = a16[j];
            put16(x * y);
            put16((uint16_t)x * (uint16_t)y);
            if (y != 0 && !(x == -32768 && y == -1)) {
                put16(x / y);
                put16(x % y);
            }
            if (y != 0) {
                put16((uint16_t)x / (uint16_t)y);
                put16((uint16_t)x % (uint16_t)y);
            }
            put16((uint8_t)x * (uint8_t)y);
            if ((uint8_t)y) put16((uint8_t)x / (uint8_t)y);
            put16(x >> (j & 15));
            put16((uint16_t)x << (i & 15));
        }
    }
    for (uint8_t i = 0; i < sizeof a32 / sizeof a32[0]; i++) {
        for (uint8_t j = 0; j < sizeof a32 / sizeof a32[0]; j++) {
            int32_t x = a32[i], y = a32[j];
            put32(x * y);
            if (y != 0 && !(y == -1)) {
                put32(x / y);
                put32(x % y);
            }
            if (y != 0) put32((uint32_t)x / (uint32_t)y);
            put32(x >> (j & 31));
        }
    }
    {
        float f = 1.0f;
        for (uint8_t i = 1; i < 12; i++) {
            f = f * 1.5f + (float)i / 3.0f;
            put32((uint32_t)(int32_t)(f * 100.0f));
        }
    }
    CPU_DIFF_HALT();
}
