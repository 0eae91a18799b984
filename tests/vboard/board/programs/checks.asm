; Checks: one program, one mode per firmware check, chosen by the byte at
; `mode` in RAM (the test writes it before time runs). Even modes break a
; rule, the odd mode after each keeps it. `done` = 1 when a mode has
; finished (the recurrence modes never finish).
;   0/1  IN byte count written while busy / after the host took the packet
;   2/3  IN buffer written after / before arming
;   4/5  OUT buffer written while armed / while the 8051 holds the packet
;   6/7  EP1 OUT request never acknowledged / acknowledged
;   8    a jump into RAM the image did not fill
	.include "ezusb.inc"

mode	= 0x1F00	; RAM
done	= 0x30

	.area	CODE (ABS)
	.org	0x0000
	ljmp	start
	.org	0x0043
	ljmp	table

	.org	0x0080
start:	mov	sp,#0x60
	mov	done,#0
	mov	dptr,#IN07VAL
	mov	a,#(bmEP0|bmEP1)
	movx	@dptr,a
	mov	dptr,#OUT07VAL
	movx	@dptr,a
	mov	dptr,#mode
	movx	a,@dptr
	rl	a			; two bytes per ajmp
	mov	dptr,#modes
	jmp	@a+dptr
modes:	ajmp	busy_bad
	ajmp	busy_good
	ajmp	in_owned_bad
	ajmp	in_owned_good
	ajmp	out_owned_bad
	ajmp	out_owned_good
	ajmp	irq_setup
	ajmp	irq_setup
	ajmp	into_fill

finish:	mov	done,#1
halt:	sjmp	halt

busy_bad:
	mov	dptr,#IN1BC
	mov	a,#1
	movx	@dptr,a
	movx	@dptr,a			; still busy: the first packet is waiting
	ajmp	finish

busy_good:
	mov	dptr,#IN1BC
	mov	a,#1
	movx	@dptr,a
	mov	dptr,#IN1CS
1$:	movx	a,@dptr
	jb	acc.1,1$		; until the host has taken it
	mov	dptr,#IN1BC
	mov	a,#1
	movx	@dptr,a
	ajmp	finish

in_owned_bad:
	mov	dptr,#IN1BC
	mov	a,#1
	movx	@dptr,a
	mov	dptr,#IN1BUF
	mov	a,#0x55
	movx	@dptr,a			; the armed packet belongs to the controller
	ajmp	finish

in_owned_good:
	mov	dptr,#IN1BUF
	mov	a,#0x55
	movx	@dptr,a
	mov	dptr,#IN1BC
	mov	a,#1
	movx	@dptr,a
	ajmp	finish

out_owned_bad:
	mov	dptr,#OUT1BC
	movx	@dptr,a			; armed: the buffer waits for the host
	mov	dptr,#OUT1BUF
	movx	@dptr,a
	ajmp	finish

out_owned_good:
	mov	dptr,#OUT1BC
	movx	@dptr,a
	mov	dptr,#OUT1CS
1$:	movx	a,@dptr
	jb	acc.1,1$		; until a packet has arrived
	mov	dptr,#OUT1BUF
	movx	a,@dptr
	inc	a
	movx	@dptr,a			; the 8051 holds the buffer now
	ajmp	finish

irq_setup:
	mov	dptr,#OUT07IEN
	mov	a,#bmEP1
	movx	@dptr,a
	mov	dptr,#USBBAV
	mov	a,#bmAVEN
	movx	@dptr,a
	mov	dptr,#OUT1BC
	movx	@dptr,a			; armed
	setb	EUSB
	setb	EA
	sjmp	halt

into_fill:
	ljmp	0x1800

; The EP1 OUT handler: in mode 6 it returns without any acknowledgement.
isr_ep1out:
	push	acc
	push	psw
	push	dpl
	push	dph
	mov	dptr,#mode
	movx	a,@dptr
	cjne	a,#6,1$
	sjmp	2$
1$:	anl	EXIF,#~bmUSBINT
	mov	dptr,#OUT07IRQ
	mov	a,#bmEP1
	movx	@dptr,a
	mov	done,#1
2$:	pop	dph
	pop	dpl
	pop	psw
	pop	acc
	reti

	.org	0x0200
table:	.ds	0x24
	ljmp	isr_ep1out	; 0x24 EP1 OUT, the only one enabled
