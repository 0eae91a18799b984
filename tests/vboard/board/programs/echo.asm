; Echo: the board test's program for arming, the USB interrupt and the
; autovector table.
;   EP1 OUT -> the same bytes back on EP1 IN, EP1 OUT re-armed;
;   EP2 OUT -> length kept in `ep2_len`, EP2 OUT re-armed;
;   USB reset -> EP1 and EP2 OUT armed;
;   SETUP (RENUM = 1) -> SETUPDAT copied to `setup_copy`; a device-to-host
;     request is answered with wValue (2 bytes) from IN0BUF, bRequest 0x51
;     is stalled, anything else completes without data.
; Every handler logs its jump table offset at `log` (16 entries at most).
	.include "ezusb.inc"

ready	= 0x30		; 1 once set-up is done
unexpected = 0x31	; entries of handlers that should never run
ep2_len	= 0x32
log_ptr	= 0x08		; bank 1 R0: where the next log entry goes
log	= 0x40		; 0x40-0x4F
setup_copy = 0x50	; 0x50-0x57

	.area	CODE (ABS)
	.org	0x0000
	ljmp	start
	.org	0x0043
	ljmp	table		; the low byte is the controller's (autovector)

	.org	0x0100
table:	ljmp	isr_sudav	; 0x00 SETUP data
	.db	0
	ljmp	isr_unexpected	; 0x04 SOF
	.db	0
	ljmp	isr_sutok	; 0x08 SETUP token
	.db	0
	ljmp	isr_unexpected	; 0x0C suspend
	.db	0
	ljmp	isr_ures	; 0x10 USB reset
	.db	0
	ljmp	isr_unexpected	; 0x14
	.db	0
	ljmp	isr_unexpected	; 0x18 EP0 IN
	.db	0
	ljmp	isr_unexpected	; 0x1C EP0 OUT
	.db	0
	ljmp	isr_unexpected	; 0x20 EP1 IN
	.db	0
	ljmp	isr_ep1out	; 0x24 EP1 OUT
	.db	0
	ljmp	isr_unexpected	; 0x28 EP2 IN
	.db	0
	ljmp	isr_ep2out	; 0x2C EP2 OUT
	.db	0
	ljmp	isr_unexpected	; 0x30
	.db	0
	ljmp	isr_unexpected	; 0x34
	.db	0
	ljmp	isr_unexpected	; 0x38
	.db	0
	ljmp	isr_unexpected	; 0x3C
	.db	0
	ljmp	isr_unexpected	; 0x40
	.db	0
	ljmp	isr_unexpected	; 0x44
	.db	0
	ljmp	isr_unexpected	; 0x48
	.db	0
	ljmp	isr_unexpected	; 0x4C
	.db	0
	ljmp	isr_unexpected	; 0x50
	.db	0
	ljmp	isr_unexpected	; 0x54
	.db	0

start:	mov	sp,#0x60
	mov	log_ptr,#log
	mov	ready,#0
	mov	unexpected,#0
	mov	dptr,#IN07VAL
	movx	a,@dptr
	orl	a,#bmEP1
	movx	@dptr,a
	mov	dptr,#OUT07VAL
	movx	a,@dptr
	orl	a,#(bmEP1|bmEP2)
	movx	@dptr,a
	mov	dptr,#OUT07IEN
	mov	a,#(bmEP1|bmEP2)
	movx	@dptr,a
	mov	dptr,#USBIEN
	mov	a,#(bmSUDAV|bmSUTOK|bmURES)
	movx	@dptr,a
	mov	dptr,#USBBAV
	mov	a,#bmAVEN
	movx	@dptr,a
	mov	dptr,#USBCS
	movx	a,@dptr
	orl	a,#bmRENUM		; endpoint 0 requests come to us
	movx	@dptr,a
	acall	arm_outs
	setb	EUSB
	setb	EA
	mov	ready,#1
idle:	sjmp	idle

arm_outs:
	clr	a
	mov	dptr,#OUT1BC
	movx	@dptr,a			; writing the byte count arms the endpoint
	mov	dptr,#OUT2BC
	movx	@dptr,a
	ret

; Handler entry: save, bank 1, log the offset in A.
enter:	mov	@r0,a
	cjne	r0,#(log+15),1$
	ret
1$:	inc	r0
	ret

isr_ep1out:
	push	acc
	push	psw
	push	dpl
	push	dph
	mov	psw,#0x08
	mov	a,#0x24
	acall	enter
	mov	dptr,#OUT1BC
	movx	a,@dptr
	mov	r2,a			; bytes left to copy
	mov	r3,a			; the length
	mov	r4,#0			; index
	jz	2$
1$:	mov	a,r4
	add	a,#<OUT1BUF
	mov	dpl,a
	mov	dph,#>OUT1BUF
	movx	a,@dptr
	mov	r5,a
	mov	a,r4
	add	a,#<IN1BUF
	mov	dpl,a
	mov	dph,#>IN1BUF
	mov	a,r5
	movx	@dptr,a
	inc	r4
	djnz	r2,1$
2$:	mov	dptr,#IN1BC
	mov	a,r3
	movx	@dptr,a			; arms the echo
	mov	dptr,#OUT1BC
	movx	@dptr,a			; re-arms EP1 OUT
	anl	EXIF,#~bmUSBINT		; USBINT first ...
	mov	dptr,#OUT07IRQ
	mov	a,#bmEP1		; ... then the request bit
	movx	@dptr,a
	ajmp	leave

isr_ep2out:
	push	acc
	push	psw
	push	dpl
	push	dph
	mov	psw,#0x08
	mov	a,#0x2C
	acall	enter
	mov	dptr,#OUT2BC
	movx	a,@dptr
	mov	ep2_len,a
	movx	@dptr,a			; re-arms EP2 OUT
	anl	EXIF,#~bmUSBINT
	mov	dptr,#OUT07IRQ
	mov	a,#bmEP2
	movx	@dptr,a
	ajmp	leave

isr_ures:
	push	acc
	push	psw
	push	dpl
	push	dph
	mov	psw,#0x08
	mov	a,#0x10
	acall	enter
	acall	arm_outs
	anl	EXIF,#~bmUSBINT
	mov	dptr,#USBIRQ
	mov	a,#bmURES
	movx	@dptr,a
	ajmp	leave

isr_sutok:
	push	acc
	push	psw
	push	dpl
	push	dph
	mov	psw,#0x08
	mov	a,#0x08
	acall	enter
	anl	EXIF,#~bmUSBINT
	mov	dptr,#USBIRQ
	mov	a,#bmSUTOK
	movx	@dptr,a
	ajmp	leave

isr_sudav:
	push	acc
	push	psw
	push	dpl
	push	dph
	mov	psw,#0x08
	mov	a,#0x00
	acall	enter
	mov	r1,#setup_copy
	mov	dptr,#SETUPDAT
1$:	movx	a,@dptr
	mov	@r1,a
	inc	dptr
	inc	r1
	cjne	r1,#(setup_copy+8),1$
	mov	a,setup_copy+1
	cjne	a,#0x51,2$
	mov	a,#(bmEP0STALL|bmHSNAK)	; refused: stall, release the status stage
	sjmp	4$
2$:	mov	a,setup_copy
	jnb	acc.7,3$		; host-to-device: no data
	mov	dptr,#IN0BUF
	mov	a,setup_copy+2
	movx	@dptr,a
	inc	dptr
	mov	a,setup_copy+3
	movx	@dptr,a
	mov	dptr,#IN0BC
	mov	a,#2
	movx	@dptr,a			; arms two bytes on EP0 IN
3$:	mov	a,#bmHSNAK
4$:	mov	dptr,#EP0CS
	movx	@dptr,a
	anl	EXIF,#~bmUSBINT
	mov	dptr,#USBIRQ
	mov	a,#bmSUDAV
	movx	@dptr,a
	ajmp	leave

isr_unexpected:
	push	acc
	push	psw
	push	dpl
	push	dph
	inc	unexpected
	; no acknowledgement: the controller reports the recurrence
leave:	pop	dph
	pop	dpl
	pop	psw
	pop	acc
	reti
