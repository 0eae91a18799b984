;==========================================================================
; vectors.asm - the interrupt vector area, 0x0000-0x007F.
; Holds only the jumps the firmware uses; every other byte of the area is
; the image's fill (0xAA).
;==========================================================================
	.module vectors

	.globl	startup

	.area	VECTORS (ABS,CODE)

	.org	0x0000		; reset
	ljmp	startup
