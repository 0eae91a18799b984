; Mixed workload of the core benchmark: external-data copy, checksums,
; multiply/divide, BCD, rotates, bit tests, stack traffic, paged MOVX and
; calls, 51,200 calls of `work`. Plain 8052 instructions only, so that other
; simulators run it the same way.
	.area	CODE (ABS)
	.org	0x0000
	ljmp	start
	.org	0x0003
done:	sjmp	done			; the benchmark stops here

start:	mov	sp,#0x5F
	mov	r5,#200
o1:	mov	r4,#0			; 256 calls per outer pass
o2:	lcall	work
	djnz	r4,o2
	djnz	r5,o1
	ljmp	done

work:	mov	dptr,#0x0100		; copy 8 bytes of external data to 0x30
	mov	r0,#0x30
	mov	r2,#8
w1:	movx	a,@dptr
	add	a,r2
	mov	@r0,a
	inc	dptr
	inc	r0
	djnz	r2,w1
	mov	r1,#0x30		; add them up
	mov	r2,#8
	clr	a
w2:	addc	a,@r1
	inc	r1
	djnz	r2,w2
	mov	b,#3
	mul	ab
	mov	b,#7
	div	ab
	da	a
	swap	a
	rlc	a
	xrl	a,#0x5A
	setb	0x00
	jb	0x00,w3
	nop
w3:	cpl	0x01
	push	acc
	push	b
	pop	b
	pop	acc
	mov	0xA0,#0x02		; P2: page of MOVX @Ri
	mov	r1,#0x40
	movx	@r1,a
	cjne	a,#0x10,w4
w4:	anl	a,#0x0F
	orl	a,#0x30
	mov	0x50,a
	inc	0x50
	djnz	0x51,w5
w5:	ret
