;==========================================================================
; delay.asm - calibrated busy waits, in units of about 1 ms.
; Counted for the controller's 24 MHz clock (4 clocks per instruction
; cycle, 6 M cycles/s); no timer is used and nothing adapts to another
; clock.
; Shared state: none (selects data pointer 0).
;==========================================================================
	.module delay
	.include "ezusb.inc"
	.include "areas.inc"

	.area	HOME

;--------------------------------------------------------------------------
; delay_ms - wait count units of delay_1ms; a count of 0 returns at once.
; In: R6:R7 = count (high:low). Out: R6:R7 = 0.
; Clobbers: A, DPTR, DPS (as delay_1ms).
; The count is tested before each call and decremented after the test.
;--------------------------------------------------------------------------
delay_ms::
	mov	a,r7
	orl	a,r6
	jz	9$
	mov	a,r7			; 16-bit decrement: borrow from R6
	jnz	1$			; when R7 goes 0 -> 0xFF
	dec	r6
1$:	dec	r7
	lcall	delay_1ms
	sjmp	delay_ms
9$:	ret

;--------------------------------------------------------------------------
; delay_1ms - wait about 1 ms.
; In: nothing. Out: DPS = 0, DPTR = 0. Clobbers: A, DPTR, DPS.
; DPTR counts up from 0xFDA5 (0xFFFF - 602) until it wraps to 0x0000:
; 603 passes of the 10-cycle loop (inc dptr 3, mov 2, orl 2, jnz 3),
; 6,030 cycles; with the set-up and the return 6,040, and 6,044 with the
; lcall: 1.007 ms at 6 M cycles/s.
;--------------------------------------------------------------------------
delay_1ms::
	mov	DPS,#0
	mov	dptr,#0xFFFF-602
1$:	inc	dptr
	mov	a,dpl
	orl	a,dph
	jnz	1$
	ret
