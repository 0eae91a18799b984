;==========================================================================
; stream.asm - the stream data path: bulk blocks between the host and the
; data bus without a script per byte.
; A stream header (script.asm) sets stream_pkts whole 64-byte packets and
; stream_rest bytes of one final short packet, and the direction.
; Host to bus (stream_dir 1): stream_out_packet, the EP2 OUT interrupt,
; clocks each received packet out of OUT2BUF, one FWR# per byte.
; Bus to host (stream_dir 0): stream_poll, called on every main-loop pass,
; strobes a packet in with FRD# whenever EP2 IN has a free buffer.
; Each byte is one MOVX of AUTODATA in fast bulk mode; a whole packet is
; 8 rounds of 8 back-to-back accesses, with no test per byte.
; Shared state: owns stream_pkts, stream_rest, stream_dir (written whole
; by the stream headers, cleared by port_setup); uses the autopointer,
; OUT2BUF/OUT2BC and IN2BUF/IN2CS/IN2BC. stream_out_packet works on data
; pointer 1 (DPS 1) instead of saving DPTR: all other code runs with DPS 0
; and DPTR1 unused (delay_1ms, the one other writer of DPS, writes 0).
; DPL and DPH always name pointer 0: inside stream_out_packet the bytes of
; the pointer in use are DPL1 and DPH1.
;==========================================================================
	.module stream
	.include "ezusb.inc"
	.include "areas.inc"

	.globl	stream_poll_paced

	.area	DSEG
stream_pkts::	.ds	2		; whole packets still to move, little-endian
stream_rest::	.ds	1		; bytes of the final short packet, 0-63
stream_dir::	.ds	1		; 1: host to bus; 0: bus to host;
					; 2: bus to host, paced (pace.asm)

; The autopointer on OUT2BUF, low byte first, through data pointer 1
; (DPS 1). Leaves DPH1 = 0x7F.
	.macro	point_at_out2buf
	mov	dptr,#AUTOPTRL
	mov	a,#<OUT2BUF
	movx	@dptr,a
	dec	DPL1			; AUTOPTRH, one below AUTOPTRL
	mov	a,#>OUT2BUF
	movx	@dptr,a
	.endm

	.area	CSEG

;--------------------------------------------------------------------------
; stream_out_packet - the EP2 OUT interrupt (jump table offset 0x2C).
; Clocks the packet out when a host-to-bus stream is outstanding, drops it
; otherwise; re-arms EP2 OUT; acks. Bank 1, DPTR1; saves A, PSW, DPS.
; A 64-byte packet counts as a whole packet while whole packets are due.
; A shorter packet ends the stream's rest: clocked out whole while whole
; packets are still due (it is shorter than what is due then), and
; otherwise up to the rest, no further. So nothing beyond what the header
; announced ever reaches the bus: when only the rest is due, a packet
; longer than the rest (whole or short) has its excess dropped, and the
; stream ends.
; A whole packet takes 314 cycles with a one-cycle MOVX stretch, from the
; interrupt's call to the RETI.
;--------------------------------------------------------------------------
stream_out_packet::
	push	acc
	push	psw
	inc	DPS			; DPTR1: the foreground's DPTR stays as it is
	mov	psw,#BANK1
	mov	r7,stream_dir
	djnz	r7,out_done		; direction not exactly 1 (host to bus): drop
	mov	a,stream_pkts
	orl	a,stream_pkts+1
	jz	out_rest_due		; no whole packet due
	point_at_out2buf
	mov	DPL1,#<OUT2BC
	movx	a,@dptr
	cjne	a,#64,out_short
	mov	DPL1,#<AUTODATA
	mov	r7,#8
1$:	movx	a,@dptr			; 8 reads, 8 FWR# strobes
	movx	a,@dptr
	movx	a,@dptr
	movx	a,@dptr
	movx	a,@dptr
	movx	a,@dptr
	movx	a,@dptr
	movx	a,@dptr
	djnz	r7,1$
	mov	a,stream_pkts		; stream_pkts - 1
	jnz	2$
	dec	stream_pkts+1
2$:	dec	stream_pkts
	; falls through: the whole-packet path is the one that counts

out_done:
	mov	dptr,#OUT2BC
	clr	a
	movx	@dptr,a			; re-arms EP2 OUT
	anl	EXIF,#~bmUSBINT		; USBINT first ...
	mov	dptr,#OUT07IRQ
	mov	a,#bmEP2		; ... then the EP2 OUT request bit
	movx	@dptr,a
	dec	DPS
	pop	psw
	pop	acc
	reti

; Only the rest is due: a packet no longer than the rest is clocked out
; whole; a longer one carries more than the host announced, and only the
; rest goes out.
out_rest_due:
	mov	a,stream_rest
	jz	out_done		; nothing outstanding: drop
	point_at_out2buf
	mov	DPL1,#<OUT2BC
	movx	a,@dptr
	clr	c
	subb	a,stream_rest
	jc	out_short		; shorter than the rest: all of it
	mov	DPL1,#<AUTODATA		; the rest and no more
	mov	r7,stream_rest
3$:	movx	a,@dptr
	djnz	r7,3$
	mov	stream_rest,#0
	sjmp	out_done

; Short packet: one read per byte, OUT2BC read again before every byte.
out_short:
	mov	r7,#0			; bytes clocked out
4$:	mov	DPL1,#<OUT2BC
	movx	a,@dptr
	clr	c
	subb	a,r7
	jz	5$			; all of them
	jc	5$
	mov	DPL1,#<AUTODATA
	movx	a,@dptr
	inc	r7
	sjmp	4$
5$:	mov	stream_rest,#0
	sjmp	out_done

;--------------------------------------------------------------------------
; stream_poll - one packet of a bus-to-host stream, when one is due and
; EP2 IN has a free buffer; never waits. Called by the main loop.
; In: nothing. Out: nothing. Clobbers: A, DPTR, R7, PSW.
; Whole packets first, the short one last; no zero-length packet ends a
; stream whose length is a multiple of 64.
; Atomic with respect to the USB interrupt (EUSB off from the first test
; to the last update, after a first unmasked look that only ever leads to
; doing nothing): a stream header (EP1 OUT interrupt) rewrites
; stream_pkts, stream_rest and stream_dir, and so must fall either before
; the poll has looked at them or after it has armed its packet and
; counted it, never between. The interrupt waits at most one packet's
; poll (291 cycles with a one-cycle MOVX stretch).
; Relies on: no script that strobes the bus while a bus-to-host stream is
; outstanding (the host reads the stream to its end first); such a script
; runs between two packets of the stream and its strobes come between
; the stream's bytes.
;--------------------------------------------------------------------------
stream_poll::
	mov	a,stream_dir		; a first look, unmasked, that only leads
	jnz	10$			; to doing nothing: host to bus
	clr	EUSB
	mov	a,stream_pkts
	orl	a,stream_pkts+1
	orl	a,stream_rest
	jz	9$			; nothing outstanding
	mov	a,stream_dir
	jnz	9$			; not a bus-to-host stream
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
	jz	2$
	mov	r7,#8
1$:	movx	@dptr,a			; 8 writes, 8 FRD# strobes (value unused)
	movx	@dptr,a
	movx	@dptr,a
	movx	@dptr,a
	movx	@dptr,a
	movx	@dptr,a
	movx	@dptr,a
	movx	@dptr,a
	djnz	r7,1$
	mov	dptr,#IN2BC
	mov	a,#64
	movx	@dptr,a			; arms the packet
	mov	a,stream_pkts		; stream_pkts - 1
	jnz	3$
	dec	stream_pkts+1
3$:	dec	stream_pkts
	setb	EUSB
	ret

2$:	mov	r7,stream_rest		; the short packet: not 0, the counts
4$:	movx	@dptr,a			; were tested above in this same view
	djnz	r7,4$
	mov	dptr,#IN2BC
	mov	a,stream_rest
	movx	@dptr,a			; arms the packet
	mov	stream_rest,#0
9$:	setb	EUSB
	ret
10$:	jnb	ACC+1,11$
	ljmp	stream_poll_paced	; stream_dir 2: a paced bus-to-host stream (pace.asm)
11$:	ret

