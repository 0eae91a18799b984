;==========================================================================
; vectors.asm - the interrupt vector area, 0x0000-0x007F.
; Holds only the three jumps the firmware uses: reset, resume and the USB
; interrupt. Every other byte of the area, the slots of the interrupts that
; are never enabled included, is the image's fill (0xAA).
; Shared state: none.
;==========================================================================
	.module vectors

	.globl	startup
	.globl	resume_isr
	.globl	usb_vector_table

	.area	VECTORS (ABS,CODE)

	.org	0x0000		; reset
	ljmp	startup

	.org	0x0033		; resume (bus resume or WAKEUP# pin)
	ljmp	resume_isr

	; USB interrupt: with autovectoring on, the controller replaces the
	; low byte of this jump's target with the pending event's offset, so
	; the jump lands on that event's entry of the 256-byte aligned table.
	.org	0x0043
	ljmp	usb_vector_table
