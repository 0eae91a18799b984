/* String and memory routines of the C library and some of our own, on
   strings in code memory, internal RAM and external RAM (generic pointers). */
#include <stdint.h>
#include <string.h>
#include "halt.h"

static const char words[] = "the quick brown fox jumps over the lazy dog";

__xdata char text[96];
__xdata uint8_t result[32];

static char hex_digit(uint8_t v)
{
    return v < 10 ? '0' + v : 'A' + v - 10;
}

static uint8_t format_u16(char *out, uint16_t v)
{
    char tmp[6];
    uint8_t n = 0, len;
    do {
        tmp[n++] = '0' + v % 10;
        v /= 10;
    } while (v);
    len = n;
    while (n) *out++ = tmp[--n];
    *out = 0;
    return len;
}

static void reverse(char *s)
{
    char *e = s + strlen(s) - 1;
    while (s < e) {
        char t = *s;
        *s++ = *e;
        *e-- = t;
    }
}

static uint8_t count_char(const char *s, char c)
{
    uint8_t n = 0;
    while ((s = strchr(s, c)) != 0) {
        n++;
        s++;
    }
    return n;
}

void main(void)
{
    char local[24];
    uint8_t n;

    strcpy(text, words);
    result[0] = strlen(text);
    result[1] = count_char(text, 'o');
    result[2] = strcmp(text, words) == 0;
    reverse(text);
    result[3] = strcmp(text, words) > 0;
    result[4] = text[0];

    memset(local, 'x', sizeof local);
    local[sizeof local - 1] = 0;
    memcpy(text + 48, local, sizeof local);
    result[5] = strlen(text + 48);

    n = format_u16(local, 65535);
    result[6] = n;
    strcat(text, local);
    result[7] = strlen(text);
    for (uint8_t i = 0; i < 8; i++) {
        result[8 + 2 * i] = hex_digit(text[i] >> 4);
        result[9 + 2 * i] = hex_digit(text[i] & 15);
    }
    result[24] = memcmp(words, "the quick", 9) == 0;
    result[25] = strncmp(words + 4, "quack", 5) > 0;
    {
        const char *p = strstr(words, "lazy");
        result[26] = p ? (uint8_t)(p - words) : 0xFF;
    }
    CPU_DIFF_HALT();
}
