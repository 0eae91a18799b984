;==========================================================================
; usbint.asm - the USB interrupt: the autovector jump table and the
; handlers of the events that carry no port-engine work.
; The controller steers the USB interrupt to one 4-byte entry per event.
; Events that are enabled get a handler that acks them; the others never
; occur and their entries lead to a bare return (which does not ack, so
; such an event must stay disabled). The EP1 OUT, EP2 OUT and EP2 IN
; entries belong to the port engine (script.asm, stream.asm).
; To ack an event: clear USBINT (EXIF bit 4) first, then write the event's
; bit alone to its request register (1 clears it, 0 leaves the others);
; a request still pending then raises the interrupt again.
; Every handler saves what it uses (A, DPTR), so the interrupted code
; is undisturbed.
; Order: with several requests pending the controller vectors to the
; lowest entry first (SETUP data before EP1 OUT before EP2 OUT); the
; script handler keeps the host's order against that (script.asm).
; Shared state: sets setup_pending; arms the OUT endpoints. The suspend
; handler lives with the resume handler in bus.asm.
;==========================================================================
	.module usbint
	.include "ezusb.inc"
	.include "areas.inc"

	.globl	setup_pending
	.globl	suspend_pending
	.globl	run_command_script
	.globl	script_resume
	.globl	script_cancel
	.globl	stream_out_packet
	.globl	suspend_isr

;--------------------------------------------------------------------------
; usb_vector_table - 22 entries of ljmp handler + one 0x00 filler byte.
; Must start on a 256-byte boundary: the controller supplies the low byte.
;--------------------------------------------------------------------------
	.area	USBJT

usb_vector_table::
	ljmp	sudav_isr		; 0x00 SETUP data available
	.db	0
	ljmp	sof_isr			; 0x04 start of frame (disabled)
	.db	0
	ljmp	sutok_isr		; 0x08 SETUP token
	.db	0
	ljmp	suspend_isr		; 0x0C suspend (bus.asm)
	.db	0
	ljmp	ures_isr		; 0x10 USB reset
	.db	0
	ljmp	usb_return		; 0x14 (no event)
	.db	0
	ljmp	usb_return		; 0x18 EP0 IN
	.db	0
	ljmp	usb_return		; 0x1C EP0 OUT
	.db	0
	ljmp	usb_return		; 0x20 EP1 IN
	.db	0
	ljmp	run_command_script	; 0x24 EP1 OUT: a command script
	.db	0
	ljmp	script_resume		; 0x28 EP2 IN: enabled only while a
	.db	0			;      script waits for a reply buffer
	ljmp	stream_out_packet	; 0x2C EP2 OUT: stream data
	.db	0
	ljmp	usb_return		; 0x30 EP3 IN
	.db	0
	ljmp	usb_return		; 0x34 EP3 OUT
	.db	0
	ljmp	usb_return		; 0x38 EP4 IN
	.db	0
	ljmp	ep4out_isr		; 0x3C EP4 OUT
	.db	0
	ljmp	usb_return		; 0x40 EP5 IN
	.db	0
	ljmp	ep5out_isr		; 0x44 EP5 OUT
	.db	0
	ljmp	usb_return		; 0x48 EP6 IN
	.db	0
	ljmp	ep6out_isr		; 0x4C EP6 OUT
	.db	0
	ljmp	usb_return		; 0x50 EP7 IN
	.db	0
	ljmp	ep7out_isr		; 0x54 EP7 OUT
	.db	0

	.area	CSEG

;--------------------------------------------------------------------------
; usb_return - the entry of every event that is never enabled: returns
; without an ack.
;--------------------------------------------------------------------------
usb_return:
	reti

;--------------------------------------------------------------------------
; The event handlers. Each saves A and DPTR (flags are not touched), puts
; its request bit in A and ends in one of the two ack tails.
;--------------------------------------------------------------------------

; SETUP data available: the request is served by the main loop. The flag
; is set before the ack, so that "SUDAV still requested, or setup_pending
; set" never misses a SETUP (new_setup in requests.asm).
sudav_isr:
	setb	setup_pending		; the flag before the ack
	push	acc
	push	dpl
	push	dph
	mov	a,#bmSUDAV
	ajmp	usbirq_ack

; Start of frame: never enabled; acked all the same.
sof_isr:
	push	acc
	push	dpl
	push	dph
	mov	a,#bmSOF
	ajmp	usbirq_ack

; SETUP token: nothing to do but the ack.
sutok_isr:
	push	acc
	push	dpl
	push	dph
	mov	a,#bmSUTOK
	ajmp	usbirq_ack

; USB reset: arm the OUT endpoints. Writing an OUT byte count arms the
; endpoint for its next packet. EP3 is left out: its buffers are EP2's.
; A command script still parked for a reply buffer is dropped: the host
; has started afresh and its packet is overwritten from now on.
ures_isr:
	push	acc
	push	dpl
	push	dph
	lcall	script_cancel
	clr	a
	mov	dptr,#OUT1BC
	movx	@dptr,a
	mov	dptr,#OUT2BC
	movx	@dptr,a
	mov	dptr,#OUT4BC
	movx	@dptr,a
	mov	dptr,#OUT5BC
	movx	@dptr,a
	mov	dptr,#OUT6BC
	movx	@dptr,a
	mov	dptr,#OUT7BC
	movx	@dptr,a
	mov	a,#bmURES
	ajmp	usbirq_ack

; EP4 to EP7 OUT carry no function: each packet is dropped unread and the
; endpoint re-armed, so a host writing to them never blocks.
ep4out_isr:
	push	acc
	push	dpl
	push	dph
	mov	dptr,#OUT4BC
	mov	a,#bmEP4
	ajmp	out_drain

ep5out_isr:
	push	acc
	push	dpl
	push	dph
	mov	dptr,#OUT5BC
	mov	a,#bmEP5
	ajmp	out_drain

ep6out_isr:
	push	acc
	push	dpl
	push	dph
	mov	dptr,#OUT6BC
	mov	a,#bmEP6
	ajmp	out_drain

ep7out_isr:
	push	acc
	push	dpl
	push	dph
	mov	dptr,#OUT7BC
	mov	a,#bmEP7
	; falls through

; In: DPTR = the endpoint's OUTnBC, A = its OUT07IRQ bit.
out_drain:
	push	acc
	clr	a
	movx	@dptr,a			; re-arm: the packet is thrown away
	pop	acc
	mov	dptr,#OUT07IRQ
	ajmp	irq_ack

; The ack tails. In: A = the event's request bit; A, DPL, DPH pushed in
; that order.
usbirq_ack:
	mov	dptr,#USBIRQ
irq_ack:
	anl	EXIF,#~bmUSBINT		; USBINT first ...
	movx	@dptr,a			; ... then the request bit alone
	pop	dph
	pop	dpl
	pop	acc
	reti
