;==========================================================================
; engine_reset.asm - the engine reset request: a host starting afresh
; puts the port engine back in the state it had after start-up, whatever
; an earlier program left behind (unread replies, a stream abandoned
; half-way, a script parked behind unread replies, port C and strobe
; timing set for something else).
;
; The request, answered through the other_request hook (hooks.asm):
;   bmRequestType 0xC0 (vendor, device, device to host)
;   bRequest      0xB0
;   wValue        0x4E45, wIndex 0x0000, wLength 1
; Any other request that reaches the hook is stalled, as before: a
; standard or class request, another vendor code, or this code with other
; fields. 0xB0 lies outside the standard codes (0-12) and away from the
; controller's loader (0xA0) and the codes around it; the fixed
; wValue/wIndex keep a program written for some other board with the
; same IDs from hitting it by chance.
;
; What it does, with the USB interrupt off so that no script, stream
; packet or parked-script resume runs half-way through:
;   - the stream state cleared: no stream outstanding (stream_pkts,
;     stream_rest, stream_dir = 0, as port_setup leaves them);
;   - a parked script dropped: the EP2 IN interrupt disabled again and
;     EP1 OUT re-armed, so the parked packet is never run;
;   - EP2 IN emptied: 1 written to the busy bit of IN2CS and of IN3CS
;     disarms the packet each buffer of the pair holds (the controller's
;     documented way to take back an armed IN packet while the host is
;     not reading the endpoint; each endpoint of a pair is cleared on its
;     own). The stall bits are written back as they were;
;   - port C all inputs with a clear latch (OEC, OUTC = 0, the power-on
;     values); the MOVX stretch 0 and FASTXFR 0x40, as after start-up.
; Data toggles and endpoint halts are left alone: the host resets its
; pipes (CLEAR_FEATURE(ENDPOINT_HALT)) afterwards, which puts the toggle
; back to DATA0 on both ends at once.
;
; The one data byte says what was found: bit 0 a stream was outstanding,
; bit 1 a script was parked; and what this image can do: bit 2 it paces
; bus-to-host streams (stream.asm); the other bits 0.
; Shared state: writes stream_pkts, stream_rest, stream_dir (stream.asm),
; IN07IEN bit 2 (script.asm's parking), OUT1BC, IN2CS, IN3CS, OEC, OUTC,
; CKCON, FASTXFR, IN0BUF (IN0BC through arm_ep0), IN07IRQ bit 2, EXIF.
;==========================================================================
	.module engine_reset
	.include "ezusb.inc"
	.include "areas.inc"

	.globl	stream_pkts
	.globl	stream_rest
	.globl	stream_dir
	.globl	script_cancel
	.globl	arm_ep0

RT_VENDOR_IN	= 0xC0
ENGINE_RESET	= 0xB0
ENGINE_KEY	= 0x4E45		; wValue

FOUND_STREAM	= 0b00000001		; the reply's bits
FOUND_PARKED	= 0b00000010
CAN_PACE	= 0b00000100		; always set: paced streams

	.area	CSEG

;--------------------------------------------------------------------------
; engine_request - the other_request hook's work: serve the engine reset
; request, refuse every other request.
; In: the request in SETUPDAT. Out: C = 0 when the request was served
; (its one byte armed on EP0 IN, unless a new SETUP has replaced it),
; C = 1 when it is to be stalled.
; Clobbers: A, B, DPTR. Runs in the foreground.
;--------------------------------------------------------------------------
refuse:	setb	c			; not ours: stall
	ret

engine_request::
	mov	dptr,#SETUPDAT
	movx	a,@dptr
	cjne	a,#RT_VENDOR_IN,refuse
	inc	dptr
	movx	a,@dptr
	cjne	a,#ENGINE_RESET,refuse
	inc	dptr
	movx	a,@dptr			; wValue, low byte
	cjne	a,#<ENGINE_KEY,refuse
	inc	dptr
	movx	a,@dptr
	cjne	a,#>ENGINE_KEY,refuse
	inc	dptr
	movx	a,@dptr			; wIndex
	jnz	refuse
	inc	dptr
	movx	a,@dptr
	jnz	refuse
	inc	dptr
	movx	a,@dptr			; wLength
	cjne	a,#1,refuse
	inc	dptr
	movx	a,@dptr
	jnz	refuse

	clr	EUSB			; no script, stream packet or resume meanwhile
	; What was found, in B.
	mov	b,#CAN_PACE
	mov	a,stream_pkts
	orl	a,stream_pkts+1
	orl	a,stream_rest
	jz	1$
	orl	b,#FOUND_STREAM
1$:	mov	dptr,#IN07IEN
	movx	a,@dptr
	jnb	ACC+bnEP2,2$		; the EP2 IN interrupt is on only while
	orl	b,#FOUND_PARKED		; a script is parked
	lcall	script_cancel
	; An EP2 IN packet the host took while EUSB was off has latched its
	; request and USBINT; with its interrupt disabled now nothing would
	; ack it, and the autovector would land on entry 0x00 (a SETUP that
	; never came: the request served twice). Both forgotten, USBINT
	; first; a request still pending raises USBINT again.
	anl	EXIF,#~bmUSBINT
	mov	dptr,#IN07IRQ
	mov	a,#bmEP2
	movx	@dptr,a
	mov	dptr,#OUT1BC
	clr	a
	movx	@dptr,a			; re-arms EP1 OUT: the packet is dropped
2$:	clr	a
	mov	stream_pkts,a		; no stream outstanding
	mov	stream_pkts+1,a
	mov	stream_rest,a
	mov	stream_dir,a
	; EP2 IN: busy written 1 in both endpoints of the pair, stall kept.
	mov	dptr,#IN2CS
	acall	disarm_in
	mov	dptr,#IN3CS
	acall	disarm_in
	; Port C: drivers off first, then the latch.
	clr	a
	mov	dptr,#OEC
	movx	@dptr,a
	mov	dptr,#OUTC
	movx	@dptr,a
	; Strobe timing as after start-up.
	anl	CKCON,#~bmMOVXSTRETCH
	mov	dptr,#FASTXFR
	mov	a,#bmFBLK
	movx	@dptr,a
	setb	EUSB

	mov	dptr,#IN0BUF
	mov	a,b
	movx	@dptr,a
	; Armed by arm_ep0 (requests.asm), which looks for a new SETUP before
	; and after the arm: endpoint 0 is left to a request that has
	; replaced this one, and one that came right before the arm is
	; stalled rather than answered with this byte.
	mov	a,#1
	lcall	arm_ep0
	clr	c			; served
	ret

; disarm_in - DPTR = an INnCS register: writes its stall bit back as it
; is, with 1 in the busy bit. Clobbers: A.
disarm_in:
	movx	a,@dptr
	anl	a,#bmEPSTALL
	orl	a,#bmEPBUSY
	movx	@dptr,a
	ret
