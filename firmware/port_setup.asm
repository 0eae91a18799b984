;==========================================================================
; port_setup.asm - the board's one-time peripheral set-up.
; Makes the endpoints valid and their OUT interrupts enabled, pairs EP2
; with EP3 (double buffers), routes the fast-transfer strobes to PA4/PA5,
; leaves ports B and C plain I/O, clears the stream state and switches
; fast bulk transfers on. Writes no output enable and arms no endpoint:
; every port pin but the two strobes is an input until the host's first
; op_oe, and the bus-reset handler arms the OUT endpoints.
; Shared state: sets remote_wakeup_enabled; clears stream_pkts,
; stream_rest, stream_dir.
;==========================================================================
	.module port_setup
	.include "ezusb.inc"
	.include "areas.inc"

	.globl	remote_wakeup_enabled
	.globl	stream_pkts
	.globl	stream_rest
	.globl	stream_dir

; Endpoints 1, 2, 4, 5, 6, 7: EP0 keeps the controller's setting, EP3's
; buffers serve as EP2's second ones.
ENDPOINTS = bmEP1|bmEP2|bmEP4|bmEP5|bmEP6|bmEP7

	.area	HOME

;--------------------------------------------------------------------------
; port_setup - called once by main, before any interrupt is enabled.
; In: nothing. Out: nothing. Clobbers: A, DPTR.
; The steps are made in this order.
;--------------------------------------------------------------------------
port_setup::
	mov	dptr,#IN07VAL		; IN 1, 2, 4-7 valid; bits 0, 3 kept
	movx	a,@dptr
	orl	a,#ENDPOINTS
	movx	@dptr,a
	mov	dptr,#OUT07VAL		; OUT 1, 2, 4-7 valid; bits 0, 3 kept
	movx	a,@dptr
	orl	a,#ENDPOINTS
	movx	@dptr,a
	mov	dptr,#OUT07IEN		; interrupt on every packet they receive
	movx	a,@dptr
	orl	a,#ENDPOINTS
	movx	@dptr,a

	setb	remote_wakeup_enabled	; allowed from the start

	mov	dptr,#USBPAIR
	mov	a,#0b00001001		; PR2OUT, PR2IN: EP2 double-buffered
	movx	@dptr,a
	mov	dptr,#CPUCS
	mov	a,#0b00000010		; bit 1 set, every other writable bit clear
	movx	@dptr,a
	mov	dptr,#PORTACFG
	mov	a,#bmFWR|bmFRD		; PA4 = FWR#, PA5 = FRD#, the rest plain I/O
	movx	@dptr,a
	mov	dptr,#PORTBCFG		; port B plain I/O
	clr	a
	movx	@dptr,a
	mov	dptr,#PORTCCFG		; port C plain I/O
	movx	@dptr,a

	mov	stream_pkts,a		; no stream outstanding
	mov	stream_pkts+1,a
	mov	stream_rest,a
	mov	stream_dir,a

	mov	dptr,#FASTXFR
	mov	a,#bmFBLK		; fast bulk on, both strobes active low,
	movx	@dptr,a			; strobe modes 00
	ret
