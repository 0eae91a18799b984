;==========================================================================
; script.asm - the command interpreter: the port engine's byte code.
; Each packet on EP1 OUT is one script, executed in place in OUT1BUF
; inside the EP1 OUT interrupt. High nibble of an op byte = op code, low
; nibble = n. Sampled bytes are gathered in IN2BUF and armed on EP2 IN as
; one reply when the script ends; EP1 OUT is re-armed only after that, so
; the script cannot change under the interpreter.
;
;   0n        op_oe          OEC <- 0x0n (PC3..PC0 drive where n has a 1)
;   1n        op_ctl         OUTC <- n
;   2n        op_pins        OUTC <- n; reply += PINSC
;   3n d      op_write       OUTC <- n; d onto D7..D0, one FWR# strobe
;   4n        op_read        OUTC <- n; reply += D7..D0, one FRD# strobe
;   5n a b c  op_stream_out  OUTC <- n; stream of a&0x3F + 64*(c*256+b)
;   6n a b c  op_stream_in     bytes, host to bus (5n) or bus to host (6n)
;   7n-En     (passed over)
;   Fn t      op_timing      CKCON <- (n != 0); FASTXFR <- t | FBLK
;
; An op whose operands would lie beyond the end of the packet ends the
; script there, unexecuted.
; A script that replies while both EP2 IN buffers still hold replies the
; host has not read is parked instead of run: it stays in OUT1BUF (EP1 OUT
; stays unarmed, so the host's next packet waits), and the EP2 IN
; interrupt, enabled only while a script is parked, runs it as soon as the
; host has taken a reply. No reply buffer is ever overwritten, no reply is
; dropped, and the interrupt level never waits.
;
; Runs in register bank 1 (the USB interrupt level's); saves A, PSW, DPTR.
; Shared state: OEC, OUTC, CKCON, FASTXFR, the autopointer, IN2BUF/IN2BC,
; OUT1BUF/OUT1BC, IN07IEN bit 2; owns script_waits; writes stream_pkts,
; stream_rest, stream_dir (owned by stream.asm); pace.asm reads a paced
; header's pace bytes.
;==========================================================================
	.module script
	.include "ezusb.inc"
	.include "areas.inc"

	.globl	stream_pkts
	.globl	stream_rest
	.globl	stream_dir
	.globl	pace_bytes
	.globl	stream_out_packet

	.area	DSEG
script_waits:	.ds	1		; stream packets let before the waiting script

; Bank 1 registers while a script runs.
;   R4  the op byte
;   R5  OUT1BC, the script length, read anew for every op
;   R6  reply count: where the next reply byte goes in IN2BUF
;   R7  script position

	.area	CSEG

;--------------------------------------------------------------------------
; run_command_script - the EP1 OUT interrupt (jump table offset 0x24).
; Runs the script in OUT1BUF, arms its reply, acks, re-arms EP1 OUT.
;
; The host's order: the autovector serves EP1 OUT before EP2 OUT, so a
; script can be taken while stream packets the host sent before it still
; wait in the EP2 OUT buffers. While a host-to-bus stream is outstanding,
; every waiting EP2 OUT packet was sent before this script (a host sends
; a stream's data before its next script), so it goes first: the script
; is left pending (EP1 OUT not acked) and control passes to the EP2 OUT
; handler, whose ack brings the interrupt back here for the next packet
; or the script. With no host-to-bus stream outstanding a waiting packet
; may belong to the stream this script announces: the script goes first.
; At most two packets can have come before the script (EP2 OUT has two
; buffers): after two the script runs, whatever waits. Without that bound
; a host that sends a script and then stream data (a rule broken) would
; keep the script waiting, and the interrupt coming back for it, for as
; long as packets kept arriving.
; Relies on: a host that sends a stream's data before its next script;
; no script that strobes the bus during a bus-to-host stream.
;--------------------------------------------------------------------------
run_command_script::
	push	acc
	push	psw
	push	dpl
	push	dph
	mov	a,stream_dir
	cjne	a,#1,1$			; no host-to-bus stream
	mov	a,stream_pkts
	orl	a,stream_pkts+1
	orl	a,stream_rest
	jz	2$			; nothing outstanding
	mov	dptr,#OUT07IRQ
	movx	a,@dptr
	jnb	ACC+bnEP2,2$		; no stream packet waits
	mov	a,script_waits
	cjne	a,#2,stream_first	; fewer than two let through yet
2$:	mov	script_waits,#0		; this script goes now: none let for it
1$:	mov	psw,#BANK1
	mov	dptr,#IN2CS
	movx	a,@dptr
	jnb	ACC+bnEPBUSY,script_execute ; not busy: a reply buffer is free
	acall	script_replies
	jnc	script_execute		; no reply: the buffers do not matter
	; Park the script until the host takes a reply.
	anl	EXIF,#~bmUSBINT		; ack EP1 OUT: USBINT first ...
	mov	dptr,#OUT07IRQ
	mov	a,#bmEP1		; ... then its request bit
	movx	@dptr,a
	mov	dptr,#IN07IRQ
	mov	a,#bmEP2
	movx	@dptr,a			; forget an older "packet taken"
	mov	dptr,#IN07IEN
	movx	a,@dptr
	orl	a,#bmEP2		; the next one raises the interrupt
	movx	@dptr,a
	; A packet taken before the IRQ bit was cleared above left no request
	; pending: look again.
	mov	dptr,#IN2CS
	movx	a,@dptr
	jnb	ACC+bnEPBUSY,script_unpark
	ajmp	script_exit

;--------------------------------------------------------------------------
; stream_first - the waiting stream packet before the script: the EP2 OUT
; handler as if the autovector had picked it, with nothing of this
; handler left on the stack.
;--------------------------------------------------------------------------
stream_first:
	inc	script_waits
	pop	dph
	pop	dpl
	pop	psw
	pop	acc
	ljmp	stream_out_packet

;--------------------------------------------------------------------------
; script_resume - the EP2 IN interrupt (jump table offset 0x28), enabled
; only while a script is parked: the host has taken a reply packet, so a
; reply buffer may be free. Acks, then runs the parked script if one is
; parked and a buffer is free; otherwise keeps waiting.
;--------------------------------------------------------------------------
script_resume::
	push	acc
	push	psw
	push	dpl
	push	dph
	mov	psw,#BANK1
	anl	EXIF,#~bmUSBINT		; ack EP2 IN: USBINT first ...
	mov	dptr,#IN07IRQ
	mov	a,#bmEP2		; ... then its request bit
	movx	@dptr,a
	mov	dptr,#IN07IEN
	movx	a,@dptr
	jnb	ACC+bnEP2,script_exit	; nothing parked
	mov	dptr,#IN2CS
	movx	a,@dptr
	jb	ACC+bnEPBUSY,script_exit ; both buffers still full
script_unpark:
	mov	dptr,#IN07IEN
	movx	a,@dptr
	anl	a,#~bmEP2
	movx	@dptr,a
	; falls through

;--------------------------------------------------------------------------
; The interpreter proper. Bank 1 selected, A, PSW, DPTR saved.
;--------------------------------------------------------------------------
script_execute:
	mov	r6,#0			; reply count
	mov	r7,#0			; script position
	sjmp	op_fetch

op_next:
	inc	r7			; past the op (or its last operand)
op_fetch:
	mov	dptr,#OUT1BC
	movx	a,@dptr			; the length, read anew on every pass
	mov	r5,a
	clr	c
	mov	a,r7
	subb	a,r5
	jnc	script_end		; position >= length: done
	mov	a,r7
	add	a,#<OUT1BUF
	mov	dpl,a
	mov	dph,#>OUT1BUF
	movx	a,@dptr
	mov	r4,a			; the op byte
	anl	a,#0xF0
	swap	a
	rl	a			; two bytes per entry
	mov	dptr,#op_table
	jmp	@a+dptr

op_table:
	ajmp	op_oe			; 0n
	ajmp	op_ctl			; 1n
	ajmp	op_pins			; 2n
	ajmp	op_write		; 3n
	ajmp	op_read			; 4n
	ajmp	op_stream_out		; 5n
	ajmp	op_stream_in		; 6n
	ajmp	op_next			; 7n  passed over
	ajmp	op_next			; 8n
	ajmp	op_next			; 9n
	ajmp	op_next			; An
	ajmp	op_next			; Bn
	ajmp	op_next			; Cn
	ajmp	op_next			; Dn
	ajmp	op_next			; En
	ajmp	op_timing		; Fn

;--------------------------------------------------------------------------
; End of the script: the reply (if any) is handed to EP2 IN before EP1 OUT
; is re-armed, so it is always armed before the next script starts.
; EP1 OUT is acked before it is re-armed, never after: once it is armed
; the host's next script may arrive at any instruction, and an ack after
; that would clear the new script's request with this one's, leaving the
; new script unrun and EP1 OUT unarmed for good. A parked script was
; acked when it was parked; this second ack finds no request (EP1 OUT has
; stayed unarmed since) and clears nothing.
;--------------------------------------------------------------------------
script_end:
	mov	a,r6
	jz	1$			; no reply: EP2 IN is not touched
	mov	dptr,#IN2BC
	movx	@dptr,a			; arms one packet of that many bytes
1$:	anl	EXIF,#~bmUSBINT		; ack EP1 OUT: USBINT first ...
	mov	dptr,#OUT07IRQ
	mov	a,#bmEP1		; ... then its request bit
	movx	@dptr,a
	mov	dptr,#OUT1BC
	clr	a
	movx	@dptr,a			; re-arms EP1 OUT
script_exit:
	pop	dph
	pop	dpl
	pop	psw
	pop	acc
	reti

;--------------------------------------------------------------------------
; The ops. On entry R4 = op byte, R5 = length, R6 = reply count,
; R7 = position of the op byte. Each leaves R7 on its last byte and goes
; to op_next, or to script_end when its operands are not all in the packet.
; In every op that writes OUTC the OUTC write comes first.
;--------------------------------------------------------------------------

; 3n d: OUTC <- n, then d goes onto the bus straight from OUT1BUF: the
; autopointer is set on the operand (low byte first) and one read of
; AUTODATA (value thrown away) drives it out with one FWR# strobe.
op_write:
	mov	a,r7			; operand inside the packet?
	inc	a
	clr	c
	subb	a,r5
	jnc	script_end		; no: stop here, unexecuted
	mov	a,r4
	anl	a,#0x0F
	mov	dptr,#OUTC
	movx	@dptr,a
	inc	r7			; on the operand
	mov	a,r7
	add	a,#<OUT1BUF
	mov	dpl,#<AUTOPTRL
	movx	@dptr,a
	mov	dpl,#<AUTOPTRH
	mov	a,#>OUT1BUF
	movx	@dptr,a
	mov	dpl,#<AUTODATA
	movx	a,@dptr			; FWR#: OUT1BUF[position] -> D7..D0
	ajmp	op_next

; Fn t: CKCON <- 0x01 (one-cycle MOVX stretch) if n != 0, else 0x00,
; written whole; then FASTXFR <- t with FBLK forced on.
op_timing:
	mov	a,r7			; operand inside the packet?
	inc	a
	clr	c
	subb	a,r5
	jnc	script_end		; no: stop here, unexecuted
	mov	a,r4
	anl	a,#0x0F
	jz	1$
	mov	a,#0b00000001
1$:	mov	CKCON,a
	inc	r7			; on the operand
	mov	a,r7
	add	a,#<OUT1BUF
	mov	dpl,a
	mov	dph,#>OUT1BUF
	movx	a,@dptr
	orl	a,#bmFBLK		; fast bulk transfers stay on
	mov	dptr,#FASTXFR
	movx	@dptr,a
	ajmp	op_next

; 5n a b c / 6n a b c: OUTC <- n, then the stream header, written in the
; order stream_rest, stream_pkts low, stream_pkts high, stream_dir; the
; whole header is taken inside this one interrupt.
op_stream_out:
	mov	r3,#1			; host to bus
	sjmp	op_stream
op_stream_in:
	mov	r3,#0			; bus to host
op_stream:
	mov	a,r7			; all three operands inside the packet?
	add	a,#3
	clr	c
	subb	a,r5
	jnc	1$			; no: stop here, unexecuted
	mov	a,r4
	anl	a,#0x0F
	mov	dptr,#OUTC
	movx	@dptr,a
	mov	a,r7
	add	a,#<(OUT1BUF+1)
	mov	dpl,a
	mov	dph,#>OUT1BUF
	movx	a,@dptr			; a: length bits 5..0
	mov	r2,a			; bit 7: the pace bit (below)
	anl	a,#0b00111111
	mov	stream_rest,a
	inc	dptr
	movx	a,@dptr			; b: length bits 13..6
	mov	stream_pkts,a
	inc	dptr
	movx	a,@dptr			; c: length bits 21..14
	mov	stream_pkts+1,a
	mov	a,r3
	jnz	2$			; host to bus: never paced
	mov	a,r2
	jnb	ACC+7,2$
	lcall	pace_bytes		; R3 <- 2 when the pace bytes follow (pace.asm)
2$:	mov	stream_dir,r3
	inc	r7			; on the last operand
	inc	r7
	inc	r7
	ajmp	op_next
1$:	ajmp	script_end

; 0n: OEC <- the op byte itself: PC7..PC4 are always inputs.
op_oe:
	mov	a,r4
	mov	dptr,#OEC
	movx	@dptr,a
	ajmp	op_next

; 1n: OUTC <- n (bits 7..4 written 0).
op_ctl:
	mov	a,r4
	anl	a,#0x0F
	mov	dptr,#OUTC
	movx	@dptr,a
	ajmp	op_next

; 2n: OUTC <- n, then the port C pin levels become the next reply byte.
op_pins:
	mov	a,r4
	anl	a,#0x0F
	mov	dptr,#OUTC
	movx	@dptr,a
	mov	dpl,#<PINSC
	movx	a,@dptr			; sampled right after the OUTC write
	mov	dpl,r6			; IN2BUF is 0x7E00: low byte = reply count
	mov	dph,#>IN2BUF
	movx	@dptr,a
	inc	r6
	ajmp	op_next

; 4n: OUTC <- n, then one FRD# strobe stores the bus byte as the next reply
; byte: the autopointer is set on IN2BUF + reply count (low byte first)
; and one write of AUTODATA (value unused) makes the strobe.
op_read:
	mov	a,r4
	anl	a,#0x0F
	mov	dptr,#OUTC
	movx	@dptr,a
	mov	a,r6			; IN2BUF is 0x7E00: low byte = reply count
	mov	dpl,#<AUTOPTRL
	movx	@dptr,a
	mov	dpl,#<AUTOPTRH
	mov	a,#>IN2BUF
	movx	@dptr,a
	mov	dpl,#<AUTODATA
	clr	a
	movx	@dptr,a			; FRD#: D7..D0 -> IN2BUF[reply count]
	inc	r6
	ajmp	op_next

;--------------------------------------------------------------------------
; script_replies - does the script in OUT1BUF reply?
; In: nothing. Out: C = 1 when it holds an op_pins or op_read.
; Clobbers: A, DPTR, R5, R7 (bank 1).
; Walks the ops as the interpreter would, operands skipped.
;--------------------------------------------------------------------------
script_replies:
	mov	dptr,#OUT1BC
	movx	a,@dptr
	mov	r5,a
	mov	r7,#0
1$:	clr	c
	mov	a,r7
	subb	a,r5
	jnc	9$			; end of the packet: C = 0
	mov	a,r7
	add	a,#<OUT1BUF
	mov	dpl,a
	mov	dph,#>OUT1BUF
	movx	a,@dptr
	swap	a
	anl	a,#0x0F
	mov	dptr,#op_length
	movc	a,@a+dptr
	jz	8$			; a replying op
	add	a,r7
	mov	r7,a
	sjmp	1$
8$:	setb	c
9$:	ret

; Bytes of each op, operands included, by op code; 0 marks a replying op.
op_length:
	.db	1, 1, 0, 2, 0, 4, 4, 1, 1, 1, 1, 1, 1, 1, 1, 2

;--------------------------------------------------------------------------
; script_cancel - forget a parked script. Called by the USB reset handler,
; which then re-arms EP1 OUT and so drops the parked packet.
; In: nothing. Out: nothing. Clobbers: A, DPTR.
;--------------------------------------------------------------------------
script_cancel::
	mov	dptr,#IN07IEN
	movx	a,@dptr
	anl	a,#~bmEP2
	movx	@dptr,a
	ret
