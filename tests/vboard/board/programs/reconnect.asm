; Reconnect: leaves the bus, waits about 1 ms, hands endpoint 0 to the
; firmware (RENUM), clears the requests raised meanwhile and rejoins the
; bus. `phase` = 1 while off the bus, 2 once back.
	.include "ezusb.inc"

phase	= 0x30

	.area	CODE (ABS)
	.org	0x0000
	ljmp	start

	.org	0x0080
start:	mov	sp,#0x60
	mov	phase,#0
	mov	dptr,#USBCS
	movx	a,@dptr
	orl	a,#bmDISCON		; signal a disconnect
	movx	@dptr,a
	movx	a,@dptr
	anl	a,#~bmDISCOE		; float the pin: off the bus
	orl	a,#bmRENUM
	movx	@dptr,a
	mov	phase,#1
	; about 1 ms: 603 passes of a 10-cycle loop
	mov	dptr,#0xFDA5
1$:	inc	dptr
	mov	a,dpl
	orl	a,dph
	jnz	1$
	mov	a,#0xFF			; forget what the bus raised meanwhile
	mov	dptr,#USBIRQ
	movx	@dptr,a
	mov	dptr,#USBCS
	movx	a,@dptr
	anl	a,#~bmDISCON
	orl	a,#bmDISCOE		; back on the bus
	movx	@dptr,a
	mov	phase,#2
halt:	sjmp	halt
