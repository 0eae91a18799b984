;==========================================================================
; hooks.asm - the device hooks: where a board variant would change the
; built-in behaviour. In this firmware every hook but other_request does
; nothing and returns true (C = 1).
; pre_get_descriptor, pre_get_status, pre_clear_feature, pre_set_feature:
;   true lets the request handling go on; false means the hook has dealt
;   with the request (only the handshake follows).
; other_request (requests without built-in handling): true stalls the
;   request; false means the hook has dealt with it. Here it serves the
;   engine reset request (engine_reset.asm) and stalls everything else.
; suspend_hook: true lets the main loop suspend; false asks again on the
;   next pass. resume_hook: called after a wake-up; its value is ignored.
; Each: in nothing; out C; clobbers nothing else (other_request: A, B,
; DPTR, which the request handling does not keep).
; Shared state: none.
;==========================================================================
	.module hooks
	.include "areas.inc"

	.globl	engine_request

	.area	HOME

pre_get_descriptor::
	setb	c
	ret

pre_get_status::
	setb	c
	ret

pre_clear_feature::
	setb	c
	ret

pre_set_feature::
	setb	c
	ret

other_request::
	ljmp	engine_request		; C = 1: not the engine reset, stall it

suspend_hook::
	setb	c
	ret

resume_hook::
	setb	c
	ret
