/* CRC-8, CRC-16/CCITT-FALSE and CRC-32 over the check string and over a
   pseudo-random buffer in external RAM. */
#include <stdint.h>
#include "halt.h"

static const char check[] = "123456789";

__xdata uint8_t buffer[160];
__xdata uint8_t result[16];

static uint8_t crc8(const uint8_t *p, uint8_t n)
{
    uint8_t c = 0;
    while (n--) {
        c ^= *p++;
        for (uint8_t i = 0; i < 8; i++)
            c = (c & 0x80) ? (uint8_t)(c << 1) ^ 0x07 : (uint8_t)(c << 1);
    }
    return c;
}

static uint16_t crc16(const uint8_t *p, uint8_t n)
{
    uint16_t c = 0xFFFF;
    while (n--) {
        c ^= (uint16_t)*p++ << 8;
        for (uint8_t i = 0; i < 8; i++)
            c = (c & 0x8000) ? (c << 1) ^ 0x1021 : c << 1;
    }
    return c;
}

static uint32_t crc32(const uint8_t *p, uint8_t n)
{
    uint32_t c = 0xFFFFFFFFUL;
    while (n--) {
        c ^= *p++;
        for (uint8_t i = 0; i < 8; i++)
            c = (c & 1) ? (c >> 1) ^ 0xEDB88320UL : c >> 1;
    }
    return ~c;
}

static void put32(uint8_t at, uint32_t v)
{
    result[at] = v >> 24;
    result[at + 1] = v >> 16;
    result[at + 2] = v >> 8;
    result[at + 3] = v;
}

void main(void)
{
    uint16_t c16;
    uint16_t seed = 0xACE1;

    c16 = crc16((const uint8_t *)check, 9);
    result[0] = c16 >> 8;
    result[1] = c16;
    put32(2, crc32((const uint8_t *)check, 9));
    result[6] = crc8((const uint8_t *)check, 9);

    for (uint8_t i = 0; i < sizeof buffer; i++) {
        seed = (seed >> 1) ^ (-(seed & 1) & 0xB400);
        buffer[i] = seed ^ i;
    }
    c16 = crc16(buffer, sizeof buffer);
    result[8] = c16 >> 8;
    result[9] = c16;
    put32(10, crc32(buffer, sizeof buffer));
    result[14] = crc8(buffer, sizeof buffer);
    CPU_DIFF_HALT();
}
