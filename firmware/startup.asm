;==========================================================================
; startup.asm - from the reset vector to the main routine.
; Clears internal RAM 0x00-0x7F (so every variable and flag starts at
; zero), puts the stack directly above the variables and enters the main
; routine.
; Shared state: all of internal RAM 0x00-0x7F (cleared).
;==========================================================================
	.module startup
	.include "areas.inc"

	.globl	main

STACK_BASE = 0x3E		; first push lands at 0x3F, above the variables

	.area	HOME

;--------------------------------------------------------------------------
; startup - entered from the reset vector with interrupts off; never
; returns. Clears 0x7F down to 0x00, sets SP, jumps to main.
;--------------------------------------------------------------------------
startup::
	mov	r0,#0x7F	; clear 0x7F down to 0x01 ...
	clr	a
1$:	mov	@r0,a
	djnz	r0,1$
	mov	@r0,a		; ... and 0x00 last
	mov	sp,#STACK_BASE
	ljmp	main
