; Card ID: reads the card's ID bytes through port C and the fast-transfer
; strobes, the way the firmware's command scripts do, and hands them to the
; host on EP2 IN.
;   PC0 CLE, PC1 ALE, PC2 CE# (active low), PC3 card present.
;   Read ID: command 0x90, address 0x00, three bytes strobed in.
; Results: `id` in IRAM (3 bytes), `pins` = PINSC before the sequence,
; `done` = 1; the three bytes armed on EP2 IN.
	.include "ezusb.inc"

done	= 0x30
pins	= 0x31
id	= 0x32		; 0x32-0x34
scratch	= 0x1000	; RAM: the bytes driven onto the bus

	.area	CODE (ABS)
	.org	0x0000
	ljmp	start

	.org	0x0080
start:	mov	sp,#0x60
	mov	done,#0
	mov	dptr,#IN07VAL
	movx	a,@dptr
	orl	a,#bmEP2
	movx	@dptr,a
	mov	dptr,#PORTACFG
	mov	a,#(bmFWR|bmFRD)	; PA4 = FWR#, PA5 = FRD#
	movx	@dptr,a
	mov	dptr,#FASTXFR
	mov	a,#bmFBLK		; fast bulk transfers, strobes active low
	movx	@dptr,a
	mov	dptr,#PINSC
	movx	a,@dptr
	mov	pins,a
	mov	dptr,#OUTC
	mov	a,#0b00000100		; CE# high, latches low
	movx	@dptr,a
	mov	dptr,#OEC
	mov	a,#0b00000111		; PC0..PC2 driven
	movx	@dptr,a
	; The two bytes to write: command 0x90, address 0x00.
	mov	dptr,#scratch
	mov	a,#0x90
	movx	@dptr,a
	inc	dptr
	clr	a
	movx	@dptr,a
	mov	dptr,#AUTOPTRH
	mov	a,#>scratch
	movx	@dptr,a
	mov	dptr,#AUTOPTRL
	mov	a,#<scratch
	movx	@dptr,a
	mov	dptr,#OUTC
	mov	a,#0b00000001		; CLE high, CE# low
	movx	@dptr,a
	mov	dptr,#AUTODATA
	movx	a,@dptr			; 0x90 onto the bus with one FWR# pulse
	mov	dptr,#OUTC
	mov	a,#0b00000010		; ALE high, CE# low
	movx	@dptr,a
	mov	dptr,#AUTODATA
	movx	a,@dptr			; 0x00
	mov	dptr,#OUTC
	clr	a			; latches low, CE# low
	movx	@dptr,a
	; Three bytes in, straight into IN2BUF.
	mov	dptr,#AUTOPTRH
	mov	a,#>IN2BUF
	movx	@dptr,a
	mov	dptr,#AUTOPTRL
	mov	a,#<IN2BUF
	movx	@dptr,a
	mov	dptr,#AUTODATA
	movx	@dptr,a			; one FRD# pulse each; the value written
	movx	@dptr,a			; plays no part
	movx	@dptr,a
	mov	dptr,#OUTC
	mov	a,#0b00000100		; CE# high again
	movx	@dptr,a
	mov	r0,#id
	mov	dptr,#IN2BUF
1$:	movx	a,@dptr
	mov	@r0,a
	inc	dptr
	inc	r0
	cjne	r0,#(id+3),1$
	mov	dptr,#IN2BC
	mov	a,#3
	movx	@dptr,a			; the ID bytes go to the host
	mov	done,#1
halt:	sjmp	halt
