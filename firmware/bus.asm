;==========================================================================
; bus.asm - leaving and rejoining the bus, suspend and resume.
; bus_reconnect detaches the board, hands endpoint 0 to the firmware and
; reattaches it so that the host enumerates it afresh; cpu_suspend idles
; the processor until a resume interrupt; resume_bus signals resume after
; a WAKEUP# pin wake-up; suspend_isr is the USB interrupt's suspend
; handler, resume_isr the resume interrupt.
; Shared state: USBCS, the USB request registers, EXIF, EICON, PCON;
; sets suspend_pending (main.asm); owns resume_seen (set by resume_isr,
; cleared by suspend_isr and taken by cpu_suspend), resume_late and
; suspension (set by suspend_isr, cleared by resume_bus).
;
; Which resume ends which suspension. A resume interrupt comes for the
; host's resume, for a WAKEUP# press (also while the bus is active) and
; for the host's resume that follows a remote wake-up; only one taken
; after the bus suspended may stop the next idle. suspend_isr forgets
; every resume noted before it. The resume interrupt outranks the USB
; interrupt, so a resume that comes while the suspend request still
; waits (the USB interrupt held off) is taken first: resume_isr sees the
; request pending in USBIRQ and notes resume_late, which suspend_isr
; keeps. suspend_isr looks and acks with EA off, so no resume falls
; between the look and the ack.
; WAKESRC is cleared by writing back the USBCS value read (a 1 clears
; it), never by writing a 1 not read: a pin press between the read and
; the write would be lost, and its resume taken for the bus's.
; WAKESRC stays set from a pin press until it is taken: cpu_suspend takes
; it after every wake-up; a press while
; the processor runs outside a suspension (suspension clear, no suspend
; request waiting) asks for nothing, and resume_isr clears it at once, so
; that it cannot make a later suspension's bus resume look like a pin
; wake-up (resume signalling on an active bus).
;==========================================================================
	.module bus
	.include "ezusb.inc"
	.include "areas.inc"

	.globl	delay_ms
	.globl	suspend_pending

	.area	BSEG
resume_seen:	.ds	1		; a resume since the bus last suspended
resume_late:	.ds	1		; a resume while the suspend request waited
suspension:	.ds	1		; from the suspend handler to resume_bus's end

	.area	DSEG
bus_pause:	.ds	1		; target of the dummy stores below

DISCONNECT_MS = 1500			; time off the bus, in delay_1ms units
RESUME_MS = 20				; resume signalling, in delay_1ms units
WAKE_WAIT_MS = 2			; before it: 3 ms idle seen + 2 >= 5 ms

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
	clr	resume_late		; its suspend request is gone too
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
; In: nothing. Out: C = what woke it (1: the WAKEUP# pin, 0: the bus),
; taken from WAKESRC, which is cleared. Clobbers: A, DPTR.
; A resume may come at any instruction, also before the idle: its
; interrupt would then be over before the processor idles, and nothing
; would end the idle (SOFs and IN traffic do not). So resume_isr leaves
; resume_seen set (cleared by suspend_isr for the resumes before the
; suspension), and the test of it and the idle are one step: with EA
; off nothing comes between the test and the PCON write, and the write to
; IE that sets EA again holds every interrupt back for one instruction,
; the PCON write; an interrupt pending by then ends the idle at once.
; A resume seen before the idle: no idle.
; WAKESRC is taken after the wake-up, never cleared before the idle: a
; pin pressed between that clear and the idle would be lost (its resume
; taken for the bus's, the host never woken). Taken at every wake-up, it
; holds no older press the next time.
;--------------------------------------------------------------------------
cpu_suspend::
	clr	EA
	jbc	resume_seen,1$		; a resume since the bus suspended
	setb	EA			; interrupts from after the next one
	orl	PCON,#bmIDLE		; stops here until the resume interrupt
	nop
	nop
	nop
	nop
	nop
	clr	resume_seen		; the resume that ended the idle
1$:	setb	EA
	mov	dptr,#USBCS
	movx	a,@dptr			; what woke it ...
	movx	@dptr,a			; ... taken: a 1 written back clears it
	mov	c,ACC+bnWAKESRC
	ret

;--------------------------------------------------------------------------
; resume_bus - after a wake-up by the WAKEUP# pin, drive resume
; signalling onto the bus for RESUME_MS units; after a bus resume, nothing.
; Ends the suspension (the main loop calls it after every wake-up).
; In: C = woken by the pin (cpu_suspend). Out: nothing.
; Clobbers: A, DPTR, DPS, R6, R7.
; A device may signal only once the bus has been idle 5 ms; the suspend
; is seen after 3, and a pin pressed right then would signal too early:
; so WAKE_WAIT_MS units pass first. A host resume meanwhile (resume_seen,
; clear on entry: cpu_suspend took it) makes the signalling needless.
; The times are not doubled by CPUCS bit 3.
;--------------------------------------------------------------------------
resume_bus::
	jnc	9$			; the bus woke us
	mov	r6,#>WAKE_WAIT_MS
	mov	r7,#<WAKE_WAIT_MS
	lcall	delay_ms
	jb	resume_seen,9$		; the host has resumed the bus itself
	mov	dptr,#USBCS
	movx	a,@dptr
	orl	a,#bmSIGRSUME
	movx	@dptr,a
	mov	r6,#>RESUME_MS
	mov	r7,#<RESUME_MS
	lcall	delay_ms
	mov	dptr,#USBCS
	movx	a,@dptr
	anl	a,#~bmSIGRSUME
	movx	@dptr,a
9$:	clr	suspension		; the suspension is over
	ret

;--------------------------------------------------------------------------
; suspend_isr - the USB interrupt's suspend entry (jump table offset 0x0C):
; raises suspend_pending for the main loop, which idles the processor.
; A resume noted before this suspend is forgotten, unless it came while
; this request waited (resume_late). Saves A, DPTR; flags untouched.
;--------------------------------------------------------------------------
suspend_isr::
	push	acc
	push	dpl
	push	dph
	mov	dptr,#USBIRQ
	mov	a,#bmSUSP
	clr	EA			; no resume from the look to the ack
	jbc	resume_late,1$		; a resume has ended this suspension
	clr	resume_seen		; one before it: not this suspension's
1$:	setb	suspension
	setb	suspend_pending		; the flag before the ack
	anl	EXIF,#~bmUSBINT		; USBINT first ...
	movx	@dptr,a			; ... then the request bit alone
	setb	EA
	pop	dph
	pop	dpl
	pop	acc
	reti

;--------------------------------------------------------------------------
; resume_isr - the resume interrupt: clears its flag and notes the resume
; for cpu_suspend; resume_late too when the suspend request still waits;
; outside a suspension it clears WAKESRC.
; Taking it is what ends the idle mode that cpu_suspend entered. It
; outranks the USB interrupt and may come inside its handlers (the
; stream handler's DPS 1 too), so it saves DPS and uses pointer 0.
; Saves A, DPS, DPTR; flags untouched.
;--------------------------------------------------------------------------
resume_isr::
	setb	resume_seen
	push	acc
	push	DPS
	mov	DPS,#0
	push	dpl
	push	dph
	mov	dptr,#USBIRQ
	movx	a,@dptr
	jnb	ACC+bnSUSP,1$
	setb	resume_late		; the suspension it ends is not served yet
	sjmp	2$
1$:	jb	suspension,2$		; WAKESRC is for the main loop
	mov	dptr,#USBCS		; running: a pin press asks for nothing
	movx	a,@dptr
					; written back: a 1 read clears the wake
					; source, one set after the read stays
	movx	@dptr,a
2$:	pop	dph
	pop	dpl
	pop	DPS
	pop	acc
	clr	RESI
	reti
