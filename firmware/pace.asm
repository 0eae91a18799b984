;==========================================================================
; pace.asm - paced bus-to-host streams: a stream that moves many card pages
; at once and waits for the card's page load at every page boundary.
;
; A bus-to-host header (script.asm, op 6n a b c) whose first length byte a
; has bit 7 set, followed in the same packet by three pace bytes, each
; 0x70 + 7 bits:
;   6n a|0x80 b c  S1 S0 P
;   stride = (S1 - 0x70) * 128 + (S0 - 0x70) bytes, 1 to 16383
;   pause  = P - 0x70 microseconds, 0 to 127: the least time from the
;            last read strobe of one stride to the first of the next
; starts a paced stream (stream_dir 2). Its length, packets and bytes are
; those of the same header without bit 7; the pace bytes stay in the
; script and are passed over like every byte from 0x70 to 0xEF, so the
; script does exactly what it would without pacing. Only the timing of the
; read strobes differs: after every `stride` bytes the firmware waits
; `pause` microseconds before the next strobe, in the middle of a packet
; if the stride ends there. A header without bit 7, without all three
; bytes inside the packet, with a byte outside 0x70-0xEF or with a stride
; of 0 starts an ordinary stream.
; Shared state: owns pace_stride, pace_left, pace_us; reads and counts
; down stream_pkts, stream_rest (stream.asm), reads stream_dir; the
; autopointer, IN2BUF/IN2CS/IN2BC like stream_poll; reads main's
; setup_pending and suspend_pending.
;==========================================================================
	.module pace
	.include "ezusb.inc"
	.include "areas.inc"

	.globl	stream_pkts
	.globl	stream_rest
	.globl	stream_dir
	.globl	setup_pending
	.globl	suspend_pending

	.area	DSEG
pace_stride:	.ds	2		; bytes between pauses, 1-16383
pace_left:	.ds	2		; bytes before the next pause; 0: pause due
pace_us:	.ds	1		; the pause, in microseconds

	.area	CSEG

;--------------------------------------------------------------------------
; pace_bytes - the pace bytes of a bus-to-host header whose first length
; byte has bit 7 set: the three bytes right after the header, in the same
; packet, each from 0x70 to 0xEF, give 7 bits each (byte - 0x70):
;   S1 S0 P   stride = S1 * 128 + S0 bytes (0 = no pace), pause = P us.
; They stay in the script and run as the ops they are (passed over), so
; the script does exactly what it did without them; only the stream's
; timing changes (stream_poll_paced). Without all three, or with a
; stride of 0, the stream is an ordinary one.
; Called by the header op at the USB interrupt level (bank 1).
; In: DPTR on the header's last byte, R7 on the op byte, R5 the length.
; Out: R3 = 2 and pace_stride, pace_left, pace_us set when paced;
; R3 unchanged otherwise. Clobbers: A, DPTR, R0, R1, PSW.
;--------------------------------------------------------------------------
pace_bytes::
	mov	a,r7			; pace bytes inside the packet?
	add	a,#6
	clr	c
	subb	a,r5
	jnc	9$			; no: an ordinary stream
	inc	dptr
	acall	pace_byte
	jc	9$
	mov	r1,a			; S1
	inc	dptr
	acall	pace_byte
	jc	9$
	mov	r0,a			; S0
	inc	dptr
	acall	pace_byte
	jc	9$
	mov	pace_us,a
	mov	a,r1			; stride high byte: S1 >> 1
	clr	c
	rrc	a
	mov	r1,a
	clr	a			; stride low byte: S1 bit 0 << 7 | S0
	rrc	a
	orl	a,r0
	mov	r0,a
	orl	a,r1
	jz	9$			; stride 0: an ordinary stream
	mov	pace_stride,r0
	mov	pace_left,r0
	mov	pace_stride+1,r1
	mov	pace_left+1,r1
	mov	r3,#2
9$:	ret

; pace_byte - the byte at DPTR less 0x70 in A, C = 0; C = 1 when the byte
; lies outside 0x70-0xEF. Clobbers: A, PSW.
pace_byte:
	movx	a,@dptr
	clr	c
	subb	a,#0x70
	jc	1$
	jnb	ACC+7,1$		; 0x00-0x7F: C is 0
	setb	c
1$:	ret

;--------------------------------------------------------------------------
; stream_poll_paced - stream_poll for a paced bus-to-host stream
; (stream_dir 2, set by a header with its pace bytes), jumped to by
; stream_poll in the foreground: the same packets as an unpaced stream,
; but after every pace_stride bytes the firmware waits pace_us
; microseconds before its next read strobe, also in the middle of a
; packet, so that a card reading straight on across its page boundaries
; has loaded the next page by then. The wait comes just before the first
; strobe of a stride, never after the stream's last byte: between two
; strides at least pace_us microseconds pass from the last strobe of one
; to the first of the next (pace_wait).
; Fills packets for as long as EP2 IN has a free buffer, the stream is
; outstanding and the main loop has nothing waiting (a SETUP or a
; suspend), letting the USB interrupt in between packets; returns as
; soon as one of those ends. So the main loop's pass and this routine's
; entry are paid once per run of packets, not per packet.
; In: nothing. Out: nothing. Clobbers: A, DPTR, R4-R7, PSW.
; Atomic with respect to the USB interrupt for each packet, like
; stream_poll and for the same reason: the interrupt waits at most one
; packet's strobes and the pauses inside it (64 of them with a stride of
; 1). Every packet starts with a fresh look at the stream state.
; A whole packet with no stride end inside it takes 289 cycles with a
; one-cycle MOVX stretch: under the 315 of a bus slot (19 per frame), so
; the pauses fit in the difference.
;--------------------------------------------------------------------------
stream_poll_paced::
	clr	EUSB
1$:	mov	a,stream_dir
	cjne	a,#2,9$			; no longer a paced stream
	mov	dptr,#IN2CS
	movx	a,@dptr
	jb	ACC+bnEPBUSY,9$		; busy: no free buffer
	mov	dptr,#AUTOPTRL		; autopointer on IN2BUF, low byte first
	mov	a,#<IN2BUF
	movx	@dptr,a
	mov	dpl,#<AUTOPTRH
	mov	a,#>IN2BUF
	movx	@dptr,a
	mov	dpl,#<AUTODATA
	mov	a,stream_pkts
	orl	a,stream_pkts+1
	jz	20$			; no whole packet due
	mov	a,pace_left		; pace_left - 64, when not below 64
	add	a,#0xC0
	mov	r5,a
	mov	a,pace_left+1
	addc	a,#0xFF
	jnc	21$			; the stride ends inside this packet
	mov	pace_left+1,a
	mov	pace_left,r5
	acall	strobe_row		; 64 strobes
	mov	dptr,#IN2BC
	mov	a,#64
	movx	@dptr,a			; arms the packet
	mov	a,stream_pkts		; stream_pkts - 1
	jnz	2$
	dec	stream_pkts+1
2$:	dec	stream_pkts
	; The interrupt gets in between two packets (the instruction after
	; SETB EUSB always runs first, so the NOP makes the window).
8$:	setb	EUSB
	nop
	clr	EUSB
	jb	setup_pending,9$	; the main loop has work: let it run
	jb	suspend_pending,9$
	sjmp	1$
9$:	setb	EUSB
	ret

; A whole packet with the stride's end inside it (pace_left 0-63) and a
; stride of 64 or more: the bytes up to the end, the pause, the rest of
; the packet, which starts the next stride.
21$:	mov	a,pace_stride+1
	jnz	23$
	mov	a,pace_stride
	add	a,#0xC0
	jnc	24$			; a stride below 64: the general way
23$:	mov	a,pace_left
	jz	25$			; the pause comes first
	mov	r5,a
	acall	strobe_in		; up to the stride's end
25$:	acall	pace_wait
	mov	a,#64			; R5: the rest of the packet, 64 - pace_left
	clr	c
	subb	a,pace_left
	mov	r5,a
	mov	a,pace_stride		; pace_left: the new stride less that
	clr	c
	subb	a,r5
	mov	pace_left,a
	mov	a,pace_stride+1
	subb	a,#0
	mov	pace_left+1,a
	acall	strobe_in
	mov	dptr,#IN2BC
	mov	a,#64
	movx	@dptr,a			; arms the packet
	mov	a,stream_pkts		; stream_pkts - 1
	jnz	26$
	dec	stream_pkts+1
26$:	dec	stream_pkts
	sjmp	8$

20$:	mov	a,stream_rest		; the short packet last
	jz	9$			; nothing outstanding
	mov	r6,a
	sjmp	22$
24$:	mov	r6,#64
22$:	mov	a,r6			; R6: this packet's length
	mov	r7,a			; R7: bytes of it still to strobe
3$:	mov	a,pace_left+1		; a chunk: up to the packet's end or
	jnz	4$			; the stride's, whichever comes first
	mov	a,pace_left
	jz	7$			; the stride is done: pause first
	clr	c
	subb	a,r7
	jnc	4$			; the stride goes on past this packet
	mov	r5,pace_left		; to the stride's end
	mov	pace_left,#0
	sjmp	5$
4$:	mov	a,r7			; to the packet's end
	mov	r5,a
	clr	c
	mov	a,pace_left
	subb	a,r5
	mov	pace_left,a
	jnc	5$
	dec	pace_left+1
5$:	mov	a,r7
	clr	c
	subb	a,r5
	mov	r7,a
	acall	strobe_in		; R5 bytes
	mov	a,r7
	jnz	3$
	mov	dptr,#IN2BC
	mov	a,r6
	movx	@dptr,a			; arms the packet
	mov	a,stream_pkts
	orl	a,stream_pkts+1
	jnz	6$
	mov	stream_rest,#0		; that was the short packet
	ajmp	8$
6$:	mov	a,stream_pkts		; stream_pkts - 1
	jnz	10$
	dec	stream_pkts+1
10$:	dec	stream_pkts
	ajmp	8$

; The pause, then a new stride.
7$:	acall	pace_wait
	mov	pace_left,pace_stride
	mov	pace_left+1,pace_stride+1
	sjmp	3$

;--------------------------------------------------------------------------
; pace_wait - the pause between two strides: waits so that at least
; pace_us microseconds pass from the last read strobe of one stride to the
; first of the next. The firmware's own work between the two strobes is
; 59 cycles or more on every path (the shortest: the return from the
; strobe row, this routine's call and return, the new stride's count and
; the jump into the row), so the loop waits pace_us - 9 passes of 6
; cycles (1 us each), none when pace_us is 9 or less: the gap is then at
; least 6 * pace_us cycles.
; In: nothing. Out: nothing. Clobbers: A, R4, PSW.
;--------------------------------------------------------------------------
PACE_OWN_US = 9

pace_wait:
	mov	a,pace_us
	add	a,#-PACE_OWN_US
	jnc	9$			; pace_us below 9: no loop
	jz	9$
	mov	r4,a
1$:	nop
	nop
	nop
	djnz	r4,1$
9$:	ret

;--------------------------------------------------------------------------
; strobe_in - R5 (1 to 64) writes of AUTODATA, one FRD# strobe each, back
; to back: a jump into a row of 64 writes, R5 before its end; strobe_row
; is the row's start (64 strobes).
; In: DPTR = AUTODATA, R5. Out: nothing. Clobbers: A.
;--------------------------------------------------------------------------
strobe_in:
	mov	a,#<strobe_row_end
	clr	c
	subb	a,r5
	push	acc
	mov	a,#>strobe_row_end
	subb	a,#0
	push	acc
	ret				; into the row
strobe_row:
	.rept	64
	movx	@dptr,a
	.endm
strobe_row_end:
	ret
