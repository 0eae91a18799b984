;==========================================================================
; main.asm - the main routine.
; Shared state: none yet.
;==========================================================================
	.module main

	.globl	main

	.area	CSEG (CODE)

; main - entered from the start-up with internal RAM clear; never returns.
main:
	sjmp	main
