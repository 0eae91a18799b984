;==========================================================================
; main.asm - the main routine and the foreground loop.
; Clears the flags, runs port_setup, records where the descriptors lie,
; enables the interrupts the firmware serves, then makes the board leave
; and rejoin the bus until the host sends its first SETUP packet. After
; that it loops for ever: serve a pending device request, suspend when the
; bus is suspended, give the bus-to-host stream its turn.
; Shared state: owns the flags setup_pending, suspend_pending (raised by
; the USB handlers), remote_wakeup_enabled, self_powered (used by the
; request handling) and the three descriptor pointers; writes CKCON.
;
; Concurrency, for the whole firmware. Two levels run: this foreground
; loop (bank 0) and the USB interrupt (bank 1, one handler at a time, all
; at the same priority), plus the resume interrupt, which only notes the
; resume (which outranks the USB interrupt and may come inside its
; handlers). A USB interrupt may come before any foreground instruction;
; the rules that make that safe:
; - Flags the interrupt raises are cleared by the foreground before it
;   acts on them (setup_pending before the request is served), so an
;   event during the work is seen on the next pass, never lost.
; - State an interrupt rewrites as a whole (the stream header) is read by
;   the foreground only with EUSB off (stream_poll).
; - Endpoint 0 belongs to the newest SETUP: the request handler looks for
;   a new one before each answer it writes (requests.asm).
; - The host's order holds across pipes: a script does not overtake the
;   stream packets sent before it (script.asm).
; - A handler acks EP1 OUT before it re-arms it: once armed, the host's
;   next script may arrive at any instruction, and a later ack would clear
;   its request too (a parked script is acked twice: script.asm).
; - The idle is entered so that a resume cannot slip in before it
;   (cpu_suspend in bus.asm), and only a resume after the suspension
;   stops it: one taken while the processor ran (the wake-up pin pressed
;   on an active bus, the host's resume after a remote wake-up) is
;   forgotten by the suspend handler, one that outran the suspend
;   request is kept (bus.asm).
; - A handler that disables an interrupt source while its request may
;   be latched also clears the request and USBINT, USBINT first: else the
;   autovector, finding no enabled request, lands on entry 0x00 and a
;   SETUP that never came is served (engine_reset.asm).
; - Every write that answers on endpoint 0 is followed by a look for a
;   new SETUP (requests.asm); the HSNAK release's window is described
;   there.
; - A script lets at most two stream packets go before it (the EP2 OUT
;   buffers), so no request waits without bound (script.asm).
; Contracts on the host: a stream's data before its next script, a
; bus-to-host stream read to its end before the next script, replies
; read. A host that breaks them may get surprising data, never a hang
; or a lost request; a host starting afresh sends the engine reset
; request (engine_reset.asm, EUSB off while it works), which puts the
; engine back to its start state whatever an earlier host left.
;==========================================================================
	.module main
	.include "ezusb.inc"
	.include "areas.inc"

	.globl	port_setup
	.globl	bus_reconnect
	.globl	handle_setup_request
	.globl	suspend_hook
	.globl	resume_hook
	.globl	cpu_suspend
	.globl	resume_bus
	.globl	stream_poll
	.globl	device_descriptor
	.globl	config_descriptor
	.globl	string_descriptors

;---- flags: one bit each, all 0 after start-up -------------------------
	.area	BSEG
setup_pending::		.ds	1	; a SETUP packet waits in SETUPDAT
suspend_pending::	.ds	1	; the bus has been suspended
remote_wakeup_enabled::	.ds	1	; the host allows remote wake-up
self_powered::		.ds	1	; never set: the board is bus-powered

;---- variables ---------------------------------------------------------
	.area	DSEG
; Descriptor addresses, little-endian, written once at start.
device_descriptor_ptr::	.ds	2	; the device descriptor
config_descriptor_ptr::	.ds	2	; the first configuration descriptor
string_descriptor_ptr::	.ds	2	; string descriptor 0
wait_count:		.ds	4	; re-enumeration wait passes, little-endian

WAIT_PASSES = 0x49240		; 299,584 passes of 80 cycles: about 4 s

	.area	CSEG

;--------------------------------------------------------------------------
; main - entered from the start-up with internal RAM clear and interrupts
; off; never returns.
;--------------------------------------------------------------------------
main::
	clr	a
	mov	wait_count,a
	mov	wait_count+1,a
	mov	wait_count+2,a
	mov	wait_count+3,a
	clr	suspend_pending
	clr	remote_wakeup_enabled	; port_setup sets it again
	clr	self_powered
	clr	setup_pending

	lcall	port_setup

	mov	device_descriptor_ptr,#<device_descriptor
	mov	device_descriptor_ptr+1,#>device_descriptor
	mov	config_descriptor_ptr,#<config_descriptor
	mov	config_descriptor_ptr+1,#>config_descriptor
	mov	string_descriptor_ptr,#<string_descriptors
	mov	string_descriptor_ptr+1,#>string_descriptors

	; Interrupts, each enabled without touching the other bits; EA last.
	setb	EUSB			; EIE.0: the USB interrupt
	setb	ERESI			; EICON.5: the resume interrupt
	mov	dptr,#USBBAV
	movx	a,@dptr
	orl	a,#bmAVEN		; USB interrupt autovectored into the table
	movx	@dptr,a
	mov	dptr,#USBIEN
	movx	a,@dptr
	orl	a,#bmSUDAV|bmSUTOK|bmSUSP|bmURES	; start of frame stays off
	movx	@dptr,a
	setb	EA

;--------------------------------------------------------------------------
; Re-enumeration: leave and rejoin the bus, then wait WAIT_PASSES passes
; for a SETUP packet; without one, do it all again, for ever.
;
; Cycles of one pass from wait_pass back to wait_pass (4 clocks each, no
; SETUP pending, no carry out of the low counter byte):
;   jb 4, clr 1, 4 x (mov 2 + subb 2) 16, jnc 3, inc 2, mov 2, jnz 3,
;   mov 2, djnz 14 x 3 = 42, nop nop 2, sjmp 3                  = 80
; A carry into the next byte adds 7 cycles once in 256 passes. The pass
; holds no MOVX, so the MOVX stretch (its power-on value here) does not
; change it. 299,584 x 80 = 23,966,720 cycles, 3.99 s at 6 M cycles/s;
; with the 1.5 s off the bus one leave-and-rejoin cycle takes about 5.5 s.
;--------------------------------------------------------------------------
reenumerate:
	jb	setup_pending,wait_done
	setb	c			; renumerate: the firmware answers EP0
	lcall	bus_reconnect
	clr	a
	mov	wait_count,a
	mov	wait_count+1,a
	mov	wait_count+2,a
	mov	wait_count+3,a
wait_pass:
	jb	setup_pending,wait_done	; tested in every pass
	clr	c			; wait_count < WAIT_PASSES ?
	mov	a,wait_count
	subb	a,#<WAIT_PASSES
	mov	a,wait_count+1
	subb	a,#<(WAIT_PASSES >> 8)
	mov	a,wait_count+2
	subb	a,#<(WAIT_PASSES >> 16)
	mov	a,wait_count+3
	subb	a,#<(WAIT_PASSES >> 24)
	jnc	reenumerate		; no SETUP in time: leave the bus again
	inc	wait_count		; 32-bit increment
	mov	a,wait_count
	jnz	2$
	inc	wait_count+1
	mov	a,wait_count+1
	jnz	2$
	inc	wait_count+2
	mov	a,wait_count+2
	jnz	2$
	inc	wait_count+3
2$:	mov	r7,#14			; pads the pass to 80 cycles
3$:	djnz	r7,3$
	nop
	nop
	sjmp	wait_pass

wait_done:
	anl	CKCON,#~bmMOVXSTRETCH	; MOVX stretch 0, other bits kept

;--------------------------------------------------------------------------
; The foreground loop. Everything it calls may clobber A, B, DPTR, PSW and
; bank 0's registers; nothing is kept in them from one step to the next.
;--------------------------------------------------------------------------
main_loop:
	jnb	setup_pending,1$
	clr	setup_pending		; before the handler: a SETUP that comes
	lcall	handle_setup_request	; while it runs sets it again
1$:
	jnb	suspend_pending,4$
	lcall	suspend_hook
	jnc	4$			; false: ask again on the next pass
	; Cleared before the processor stops, so that a suspend the bus
	; signals after the wake-up is seen on a later pass.
	clr	suspend_pending
2$:	lcall	cpu_suspend		; returns after the wake-up, C = the pin
	jb	remote_wakeup_enabled,3$
	jc	2$			; the pin, not the bus, woke us and
					; remote wake-up is not allowed: idle again
3$:	lcall	resume_bus		; C: resume signalling
	lcall	resume_hook
4$:
	lcall	stream_poll
	sjmp	main_loop
