/* Sorts pseudo-random 16-bit keys in external RAM twice: insertion sort on
   one copy, a recursive quicksort on the other; then checks both. */
#include <stdint.h>
#include "halt.h"

#define N 48

__xdata uint16_t keys[N];
__xdata uint16_t copy[N];
__xdata uint8_t status[4];

static uint32_t lcg = 12345;

static uint16_t next_key(void)
{
    lcg = lcg * 1103515245UL + 12345;
    return (uint16_t)(lcg >> 12);
}

static void insertion_sort(__xdata uint16_t *a, uint8_t n)
{
    for (uint8_t i = 1; i < n; i++) {
        uint16_t v = a[i];
        uint8_t j = i;
        while (j > 0 && a[j - 1] > v) {
            a[j] = a[j - 1];
            j--;
        }
        a[j] = v;
    }
}

static void quicksort(__xdata uint16_t *a, int8_t lo, int8_t hi) __reentrant
{
    while (lo < hi) {
        uint16_t pivot = a[(uint8_t)(lo + hi) / 2];
        int8_t i = lo, j = hi;
        while (i <= j) {
            while (a[i] < pivot) i++;
            while (a[j] > pivot) j--;
            if (i <= j) {
                uint16_t t = a[i];
                a[i] = a[j];
                a[j] = t;
                i++;
                j--;
            }
        }
        if (j - lo < hi - i) {
            quicksort(a, lo, j);
            lo = i;
        } else {
            quicksort(a, i, hi);
            hi = j;
        }
    }
}

void main(void)
{
    uint8_t ok = 1;
    for (uint8_t i = 0; i < N; i++)
        keys[i] = copy[i] = next_key();
    insertion_sort(keys, N);
    quicksort(copy, 0, N - 1);
    for (uint8_t i = 0; i < N; i++) {
        if (keys[i] != copy[i]) ok = 0;
        if (i > 0 && keys[i - 1] > keys[i]) ok = 0;
    }
    status[0] = ok;
    status[1] = 0x5A;
    CPU_DIFF_HALT();
}
