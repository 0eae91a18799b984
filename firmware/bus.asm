;==========================================================================
; bus.asm - leaving and rejoining the bus, suspend and resume.
; bus_reconnect detaches the board, hands endpoint 0 to the firmware and
; reattaches it so that the host enumerates it afresh; cpu_suspend idles
; the processor until a resume interrupt; resume_bus signals resume after
; a WAKEUP# pin wake-up; resume_isr is the resume interrupt.
; Shared state: USBCS, the USB request registers, EXIF, EICON, PCON;
; resume_seen (set by resume_isr, taken by cpu_suspend).
;==========================================================================
	.module bus
	.include "ezusb.inc"
	.include "areas.inc"

	.globl	delay_ms

	.area	BSEG
resume_seen:	.ds	1		; a resume interrupt since the last idle

	.area	DSEG
bus_pause:	.ds	1		; target of the dummy stores below

DISCONNECT_MS = 1500			; time off the bus, in delay_1ms units
RESUME_MS = 20				; resume signalling, in delay_1ms units

	.area	CSEG

;--------------------------------------------------------------------------
; bus_reconnect - leave the bus, wait, rejoin it.
; In: C = renumerate (1: from now on the firmware answers endpoint 0).
; Out: nothing. Clobbers: A, DPTR, DPS, R6, R7, PSW.
; Each USBCS step is a read-modify-write of its one bit. The dummy store
; between two USBCS writes is a short pause.
;--------------------------------------------------------------------------
bus_reconnect::
	mov	dptr,#USBCS
	movx	a,@dptr
	orl	a,#bmDISCON		; signal a disconnect
	movx	@dptr,a
	mov	bus_pause,a
	movx	a,@dptr
	anl	a,#~bmDISCOE		; float the pin: off the bus
	movx	@dptr,a
	mov	bus_pause,a
	movx	a,@dptr
	orl	a,#bmDISCON
	movx	@dptr,a
	jnc	1$			; C is still the argument
	movx	a,@dptr
	orl	a,#bmRENUM		; endpoint 0 requests go to the firmware
	movx	@dptr,a
1$:	mov	r6,#>DISCONNECT_MS
	mov	r7,#<DISCONNECT_MS
	lcall	delay_ms
	mov	dptr,#CPUCS
	movx	a,@dptr
	jnb	ACC+bnCPUCS_SLOW,2$	; stay off twice as long
	mov	r6,#>DISCONNECT_MS
	mov	r7,#<DISCONNECT_MS
	lcall	delay_ms
2$:	mov	a,#0xFF			; forget every request raised before or
	mov	dptr,#USBIRQ		; during the disconnection
	movx	@dptr,a
	mov	dptr,#IN07IRQ
	movx	@dptr,a
	mov	dptr,#OUT07IRQ
	movx	@dptr,a
	anl	EXIF,#~bmUSBINT
	mov	dptr,#USBCS
	movx	a,@dptr
	anl	a,#~bmDISCON
	movx	@dptr,a
	mov	bus_pause,a
	movx	a,@dptr
	orl	a,#bmDISCOE		; drive the pin with DISCON clear: back on
	movx	@dptr,a			; the bus as a new device
	ret

;--------------------------------------------------------------------------
; cpu_suspend - idle the processor until a wake-up.
; In: nothing. Out: nothing; USBCS WAKESRC then tells what woke it
; (1: the WAKEUP# pin, 0: the bus). Clobbers: A, DPTR.
; A resume may come at any instruction, also before the idle: its
; interrupt would then be over before the processor idles, and nothing
; would end the idle (SOFs and IN traffic do not). So resume_isr leaves
; resume_seen set, and the test of it and the idle are one step: with EA
; off nothing comes between the test and the PCON write, and the write to
; IE that sets EA again holds every interrupt back for one instruction,
; the PCON write; an interrupt pending by then ends the idle at once.
; A resume seen before the idle: no idle, WAKESRC kept as it is.
;--------------------------------------------------------------------------
cpu_suspend::
	clr	EA
	jbc	resume_seen,1$		; a resume since the last idle
	mov	dptr,#USBCS
	movx	a,@dptr
	orl	a,#bmWAKESRC		; writing 1 clears the wake source
	movx	@dptr,a
	setb	EA			; interrupts from after the next one
	orl	PCON,#bmIDLE		; stops here until the resume interrupt
	nop
	nop
	nop
	nop
	nop
	clr	resume_seen		; the resume that ended the idle
	ret
1$:	setb	EA
	ret

;--------------------------------------------------------------------------
; resume_bus - after a wake-up by the WAKEUP# pin, drive resume
; signalling onto the bus for RESUME_MS units; after a bus resume, nothing.
; In: nothing. Out: nothing. Clobbers: A, DPTR, DPS, R6, R7.
; The time is not doubled by CPUCS bit 3.
;--------------------------------------------------------------------------
resume_bus::
	mov	dptr,#USBCS
	movx	a,@dptr
	jnb	ACC+bnWAKESRC,9$	; WAKESRC 0: the bus woke us
	orl	a,#bmSIGRSUME
	movx	@dptr,a
	mov	r6,#>RESUME_MS
	mov	r7,#<RESUME_MS
	lcall	delay_ms
	mov	dptr,#USBCS
	movx	a,@dptr
	anl	a,#~bmSIGRSUME
	movx	@dptr,a
9$:	ret

;--------------------------------------------------------------------------
; resume_isr - the resume interrupt: clears its flag and notes the resume
; for cpu_suspend. Taking it is what ends the idle mode that cpu_suspend
; entered. Touches no register.
;--------------------------------------------------------------------------
resume_isr::
	setb	resume_seen
	clr	RESI
	reti
