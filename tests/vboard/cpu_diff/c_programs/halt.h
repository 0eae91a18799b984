/* Ends a program: the differential test stops both simulators at this
   label, whose address it reads from the linker map. */
#ifndef CPU_DIFF_HALT_H
#define CPU_DIFF_HALT_H

#define CPU_DIFF_HALT() __asm__("_cpu_diff_halt::\n\tsjmp _cpu_diff_halt")

#endif
