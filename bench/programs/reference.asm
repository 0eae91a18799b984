; Reference loop of the core benchmark: the 10-cycle delay loop
; (inc dptr; mov a,dpl; orl a,dph; jnz) from 0xFDA5 to the wrap, 603 passes,
; nested 256 x 81 times: 50,056,867 instructions up to `done`.
	.area	CODE (ABS)
	.org	0x0000
	ljmp	start
	.org	0x0003
done:	sjmp	done			; the benchmark stops here

start:	mov	r6,#81
outer:	mov	r7,#0			; 256 passes
mid:	mov	dptr,#0xFDA5
inner:	inc	dptr			; 3 cycles
	mov	a,dpl			; 2
	orl	a,dph			; 2
	jnz	inner			; 3
	djnz	r7,mid
	djnz	r6,outer
	ljmp	done
