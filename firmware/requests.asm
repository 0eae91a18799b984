;==========================================================================
; requests.asm - the device requests on endpoint 0.
; handle_setup_request serves the request in SETUPDAT once per SETUP
; packet, from the main loop: status, features, descriptors, the
; configuration value and the alternate setting. It selects on bRequest
; alone; the type bits decide only whether a data stage fits the request
; (a request error otherwise: stalled) and whether SET_CONFIGURATION and
; SET_INTERFACE reset the data toggles (the standard requests only, as
; the host does). Every request without built-in handling is left to
; other_request, which stalls it. To stall, EP0STALL
; is set; every path ends in the handshake that clears HSNAK, so the
; status stage completes (as a STALL when EP0STALL was set).
; Device and configuration descriptors are sent by the controller from
; the setup data pointer; strings by the firmware through IN0BUF.
; Shared state: owns current_configuration, current_alt_setting; reads
; and writes remote_wakeup_enabled, reads self_powered and the descriptor
; pointers; reads setup_pending and the SUDAV request bit (a new SETUP).
;
; Concurrency. The handler runs in the foreground, and a new SETUP may
; arrive at any instruction: the host has then given up this request, and
; SETUPDAT, HSNAK and EP0STALL are the new request's. The main loop clears
; setup_pending before the call, so "setup_pending set, or SUDAV still
; requested" (new_setup) means a new request has arrived since this one
; began. Before each write that answers on endpoint 0 (an IN0BC arm, the
; SUDPTRL start, the stall, the HSNAK release) the handler looks, and on
; a new SETUP it returns at once, leaving endpoint 0 to the new request,
; which the main loop serves next. A stall written just before a SETUP is
; taken back (EP0STALL can be cleared). A packet armed just before a
; SETUP is dropped by the controller; one armed, or a descriptor transfer
; started, in the few instructions between the last look and the write
; cannot be taken back and would be the new request's data: so every
; answer write is followed by a second look, and on a new SETUP that
; request is stalled instead (arm_ep0, also for the engine reset's byte,
; and send_by_sudptr). So a request is never lost, never served twice and
; never answered with another's bytes, and nothing waits for a transfer
; the host has given up; a request that abandons another within those few
; instructions may be answered with a STALL.
; The HSNAK release (handshake) has the same window and no second look:
; HSNAK cannot be set again, and a stall there could come after the host
; has finished the status stage (a request acknowledged, then dropped).
; A SETUP landing between its look and its write has its status stage
; released before it is served; the main loop still serves it next. A
; host that ends that status stage within those four instructions sees
; the request complete a few microseconds before its effect (and one the
; firmware stalls as accepted); nothing is lost or served twice.
;==========================================================================
	.module requests
	.include "ezusb.inc"
	.include "areas.inc"

	.globl	setup_pending
	.globl	remote_wakeup_enabled
	.globl	self_powered
	.globl	device_descriptor_ptr
	.globl	find_config_descriptor
	.globl	find_string_descriptor
	.globl	pre_get_descriptor
	.globl	pre_get_status
	.globl	pre_clear_feature
	.globl	pre_set_feature
	.globl	other_request

	.area	DSEG
current_configuration::	.ds	1	; set by SET_CONFIGURATION, any value
current_alt_setting::	.ds	1	; set by SET_INTERFACE, any value

; SETUPDAT fields
bmRequestType = SETUPDAT
bRequest = SETUPDAT+1
wValueL	= SETUPDAT+2
wValueH	= SETUPDAT+3
wIndexL	= SETUPDAT+4
wLengthL = SETUPDAT+6
wLengthH = SETUPDAT+7

RT_DEVICE_IN	= 0x80		; bmRequestType values compared whole
RT_INTERFACE_IN	= 0x81
RT_ENDPOINT_IN	= 0x82
RT_DEVICE_OUT	= 0x00
RT_INTERFACE_OUT = 0x01
RT_ENDPOINT_OUT	= 0x02

EP_DIR_IN	= 0b10000000	; endpoint address and bmRequestType: bit 7, IN
bnEP_DIR_IN	= 7
EP_NUMBER	= 0b00000111	; endpoint address: bits 2-0, the number

bnSELF_POWERED	= 0		; GET_STATUS of the device, first byte
bnREMOTE_WAKEUP	= 1

FEATURE_ENDPOINT_HALT = 0
FEATURE_DEVICE_REMOTE_WAKEUP = 1

	.area	CSEG

;--------------------------------------------------------------------------
; handle_setup_request - serve the request in SETUPDAT.
; In: nothing. Out: nothing. Clobbers: A, B, DPTR, R2-R7, PSW.
; Runs in the foreground; returns after serving one request.
;--------------------------------------------------------------------------
handle_setup_request::
	mov	dptr,#bRequest
	movx	a,@dptr
	cjne	a,#12,5$
5$:	jc	2$
	mov	a,#2			; 12 to 255: nothing built in, as 2
2$:	mov	r7,a			; R7 = the table entry
	; A data stage (wLength > 0) must go the way the request answers:
	; device to host for the requests that send bytes, none at all for
	; the others. A request that contradicts it is a request error and
	; is stalled, so that no side waits for packets that never come.
	mov	dptr,#wLengthL
	movx	a,@dptr
	mov	r6,a
	inc	dptr
	movx	a,@dptr
	orl	a,r6
	jz	4$			; no data stage
	mov	a,r7
	mov	dptr,#data_stage_table
	movc	a,@a+dptr
	jb	acc.0,4$		; DS_ANY: left to the request
	jz	3$			; DS_NONE
	mov	dptr,#bmRequestType
	movx	a,@dptr
	jb	ACC+bnEP_DIR_IN,4$	; DS_IN and device to host: fits
3$:	ljmp	stall
4$:	mov	a,r7
	rl	a			; two bytes per entry
	mov	dptr,#request_table
	jmp	@a+dptr

DS_NONE	= 0x00			; no data stage
DS_IN	= 0x80			; device to host (the direction bit)
DS_ANY	= 0x01			; not checked here

; The data stage each entry of request_table allows, by bRequest.
data_stage_table:
	.db	DS_IN, DS_NONE, DS_ANY, DS_NONE, DS_ANY, DS_ANY
	.db	DS_IN, DS_ANY, DS_IN, DS_NONE, DS_IN, DS_NONE

request_table:
	ajmp	req_get_status		; 0  GET_STATUS
	ajmp	req_clear_feature	; 1  CLEAR_FEATURE
	ajmp	req_other		; 2
	ajmp	req_set_feature		; 3  SET_FEATURE
	ajmp	req_other		; 4
	ajmp	req_other		; 5
	ajmp	req_get_descriptor	; 6  GET_DESCRIPTOR
	ajmp	req_other		; 7
	ajmp	req_get_configuration	; 8  GET_CONFIGURATION
	ajmp	req_set_configuration	; 9  SET_CONFIGURATION
	ajmp	req_get_interface	; 10 GET_INTERFACE
	ajmp	req_set_interface	; 11 SET_INTERFACE

;---- GET_STATUS ----------------------------------------------------------
; Two bytes whatever wLength says: the device's remote wake-up (bit 1) and
; self-powered (bit 0) state, 0 for an interface, the stall bit for an
; endpoint. Any other recipient is stalled.
req_get_status:
	mov	dptr,#bmRequestType
	movx	a,@dptr
	cjne	a,#RT_DEVICE_IN,2$
	lcall	pre_get_status
	jnc	handshake
	clr	a
	mov	c,self_powered
	mov	ACC+bnSELF_POWERED,c
	mov	c,remote_wakeup_enabled
	mov	ACC+bnREMOTE_WAKEUP,c
	sjmp	status_reply
2$:	cjne	a,#RT_INTERFACE_IN,3$
	clr	a
	sjmp	status_reply
3$:	cjne	a,#RT_ENDPOINT_IN,stall
	mov	dptr,#wIndexL
	movx	a,@dptr
	acall	endpoint_cs_addr
	movx	a,@dptr
	anl	a,#bmEPSTALL
status_reply:				; A = first byte; the second is 0
	mov	dptr,#IN0BUF
	movx	@dptr,a
	inc	dptr
	clr	a
	movx	@dptr,a
	mov	a,#2
	acall	arm_ep0			; arms the two bytes
	jnc	handshake
	ret				; replaced by a new request

;---- CLEAR_FEATURE -------------------------------------------------------
; Device: remote wake-up off. Endpoint: halt cleared and data toggle reset
; to DATA0. Other recipients: nothing. A feature that does not fit the
; recipient is stalled.
req_clear_feature:
	mov	dptr,#bmRequestType
	movx	a,@dptr
	cjne	a,#RT_DEVICE_OUT,2$
	lcall	pre_clear_feature
	jnc	handshake
	mov	dptr,#wValueL
	movx	a,@dptr
	cjne	a,#FEATURE_DEVICE_REMOTE_WAKEUP,stall
	clr	remote_wakeup_enabled
	sjmp	handshake
2$:	cjne	a,#RT_ENDPOINT_OUT,handshake
	acall	endpoint_halt_target
	jnc	stall			; only ENDPOINT_HALT of an endpoint
	mov	r7,a			; the endpoint address
	acall	endpoint_cs_addr
	clr	a
	movx	@dptr,a			; 1: stall bit cleared (whole register)
	mov	a,r7
	mov	c,ACC+bnEP_DIR_IN	; 2: select it: IO = bit 7, then number
	anl	a,#EP_NUMBER
	mov	ACC+bnTOG_IO,c
	mov	dptr,#TOGCTL
	movx	@dptr,a
	movx	a,@dptr			; 3: reset its toggle to DATA0
	orl	a,#bmTOG_R
	movx	@dptr,a
	sjmp	handshake

req_other:
	lcall	other_request
	jnc	handshake		; false: the hook dealt with it
	; true: stall, falls through

;--------------------------------------------------------------------------
; stall / handshake - the two endings. stall sets EP0STALL, then goes on
; to the handshake, which clears HSNAK (write 1) so that the controller
; completes the status stage: with STALL when EP0STALL is set.
; Both leave endpoint 0 alone once a new SETUP has come: a stall written
; just before it is cleared again, and HSNAK (the new request's) is left.
;--------------------------------------------------------------------------
stall:
	acall	new_setup
	jc	2$			; replaced by a new request
	mov	dptr,#EP0CS
	movx	a,@dptr
	orl	a,#bmEP0STALL
	movx	@dptr,a
	acall	new_setup
	jnc	handshake
	mov	dptr,#EP0CS		; not for the new request
	movx	a,@dptr
	anl	a,#~(bmEP0STALL|bmHSNAK) ; HSNAK written 0: left as it is
	movx	@dptr,a
2$:	ret
handshake:
	acall	new_setup
	jc	1$			; the new request's, not ours
	mov	dptr,#EP0CS
	movx	a,@dptr
	orl	a,#bmHSNAK
	movx	@dptr,a
1$:	ret

;--------------------------------------------------------------------------
; arm_ep0 - arms the first A bytes of IN0BUF as the next EP0 IN packet,
; unless a new SETUP has come. Out: C = 0 armed for this request; C = 1
; not (the caller returns at once). Clobbers: A, B, DPTR.
; Also arms the engine reset's reply byte (engine_reset.asm).
; A SETUP seen after the arm came before it (the controller took the
; packet as the new request's first data) or after it (the controller
; dropped it). In the first case, the one the looking before cannot close,
; the packet is still armed, or the host has already taken it (the EP0 IN
; toggle, DATA1 after a SETUP, then reads DATA0). The new request would
; get this request's bytes: it is stalled instead (in its data or status
; stage, so the host discards what it got), and it is taken off the main
; loop's hands (setup_pending cleared once its interrupt has set it). The
; host sees a STALL for a request that abandoned another within a few
; instructions of this arm; nothing is left armed that anyone waits for.
;--------------------------------------------------------------------------
arm_ep0::
	mov	b,a
	acall	new_setup
	jc	9$			; replaced: not armed
	mov	dptr,#IN0BC
	mov	a,b
	movx	@dptr,a			; arms the packet
	acall	new_setup
	jnc	9$			; armed for this request
	mov	dptr,#EP0CS
	movx	a,@dptr
	jb	ACC+bnIN0BSY,stall_new_request ; still there: armed after the SETUP
	mov	dptr,#TOGCTL		; gone: the host took it (the SETUP had
	mov	a,#bmTOG_IO		; set the EP0 IN toggle to DATA1, the
	movx	@dptr,a			; packet flipped it) or the SETUP
	movx	a,@dptr			; dropped it (DATA1 still)
	jnb	ACC+bnTOG_Q,stall_new_request
	setb	c
9$:	ret

; stall_new_request - the tail of arm_ep0, also for send_by_sudptr: the
; request that has just replaced this one is stalled and taken off the
; main loop's hands. Out: C = 1. Clobbers: A, DPTR.
stall_new_request:
	mov	dptr,#EP0CS
	movx	a,@dptr
	anl	a,#~bmHSNAK		; HSNAK written 0: left as it is
	orl	a,#bmEP0STALL
	movx	@dptr,a			; the new request: STALL
1$:	jnb	setup_pending,1$	; its interrupt sets the flag ...
	clr	setup_pending		; ... which is cleared: it is answered
	setb	c
	ret

;--------------------------------------------------------------------------
; new_setup - has a new SETUP arrived since this request began?
; Out: C = 1 when its interrupt has raised setup_pending or is still
; requested (SUDAV in USBIRQ). The handler sets the flag before it acks,
; so reading the request bit first leaves no gap. Clobbers: A, DPTR.
;--------------------------------------------------------------------------
new_setup:
	mov	dptr,#USBIRQ
	movx	a,@dptr
	mov	c,ACC+bnSUDAV
	orl	c,setup_pending
	ret

;---- SET_FEATURE ---------------------------------------------------------
; Device: remote wake-up on. Endpoint: 0x01 written to its control and
; status register (stall; the toggle is not touched). Other recipients:
; nothing. A feature that does not fit the recipient is stalled.
req_set_feature:
	mov	dptr,#bmRequestType
	movx	a,@dptr
	cjne	a,#RT_DEVICE_OUT,2$
	lcall	pre_set_feature
	jnc	handshake
	mov	dptr,#wValueL
	movx	a,@dptr
	cjne	a,#FEATURE_DEVICE_REMOTE_WAKEUP,stall
	setb	remote_wakeup_enabled
	sjmp	handshake
2$:	cjne	a,#RT_ENDPOINT_OUT,handshake
	acall	endpoint_halt_target
	jnc	stall			; only ENDPOINT_HALT of an endpoint
	acall	endpoint_cs_addr
	mov	a,#bmEPSTALL
	movx	@dptr,a
	sjmp	handshake

req_get_configuration:
	acall	get_configuration
	sjmp	handshake
req_set_configuration:
	acall	set_configuration
	sjmp	handshake
req_get_interface:
	acall	get_interface
	sjmp	handshake
req_set_interface:
	acall	set_interface
	sjmp	handshake

;---- GET_DESCRIPTOR ------------------------------------------------------
; Device and configuration: the controller sends them from the setup data
; pointer (high byte first; writing the low byte starts the transfer),
; limited to wLength and the descriptor's own length; no waiting here.
; String: sent through IN0BUF by the string data stage. The language id
; is not looked at. Other types, and indexes not found, are stalled.
req_get_descriptor:
	lcall	pre_get_descriptor
	jc	1$
	ajmp	handshake
1$:	mov	dptr,#wValueH
	movx	a,@dptr			; descriptor type
	cjne	a,#1,2$
	mov	r2,device_descriptor_ptr
	mov	r3,device_descriptor_ptr+1
	sjmp	send_by_sudptr
2$:	cjne	a,#2,gd_string
	mov	dptr,#wValueL
	movx	a,@dptr
	lcall	find_config_descriptor
	mov	a,dpl
	orl	a,dph
	jz	stall_far
	mov	r2,dpl
	mov	r3,dph
send_by_sudptr:				; R3:R2 = the descriptor
	mov	dptr,#SUDPTRH
	mov	a,r3
	movx	@dptr,a
	acall	new_setup
	jc	9$			; replaced: leave endpoint 0 alone
	mov	dptr,#SUDPTRL
	mov	a,r2
	movx	@dptr,a			; starts the transfer
	acall	new_setup
	jc	8$
	ajmp	handshake		; started for this request
	; A SETUP seen now may have come before the write, which then started
	; the transfer as the new request's data stage; no register tells.
	; The new request is stalled, as arm_ep0 does.
8$:	ajmp	stall_new_request
9$:	ret
gd_string:
	cjne	a,#3,stall_far
	mov	dptr,#wValueL
	movx	a,@dptr
	lcall	find_string_descriptor
	mov	a,dpl
	orl	a,dph
	jnz	send_string
stall_far:
	ajmp	stall

;--------------------------------------------------------------------------
; The string data stage, for the descriptor at DPTR: min(bLength, wLength)
; bytes in packets of up to 64 through IN0BUF, each armed by writing
; IN0BC; then a zero-length packet, always; then EP0CS <- HSNAK (plain
; write: HSNAK cleared, EP0STALL 0) and the handshake.
;
; Waiting for the host to take a packet: the controller drops an armed
; packet when the host abandons the transfer with a new SETUP (or a bus
; reset), so the EP0 IN busy bit always clears. A new SETUP is looked for
; (new_setup) before each arm and each EP0CS write, and again after the
; busy bit has cleared, since the SETUP itself clears it. On a new SETUP
; the stage is given up without touching endpoint 0 (its packets and its
; HSNAK write would answer the new request), and the main loop serves
; the new request (see arm_ep0 for a SETUP that lands right before an
; arm).
;--------------------------------------------------------------------------
send_string:
	mov	r2,dpl			; R3:R2 = the descriptor
	mov	r3,dph
	clr	a
	movc	a,@a+dptr
	mov	r4,a			; R4 = remaining = bLength ...
	mov	dptr,#wLengthH
	movx	a,@dptr
	jnz	1$			; wLength >= 256: all of it
	mov	dptr,#wLengthL
	movx	a,@dptr
	clr	c
	subb	a,r4
	jnc	1$			; wLength >= bLength: all of it
	movx	a,@dptr
	mov	r4,a			; ... or wLength when that is smaller
1$:	mov	r5,#0			; R5 = offset of the next byte
2$:	mov	a,r4
	jz	6$			; all sent
	mov	r6,#0			; R6 = bytes in this packet
3$:	mov	dpl,r2
	mov	dph,r3
	mov	a,r5
	movc	a,@a+dptr		; the descriptor's next byte ...
	mov	dpl,r6			; IN0BUF is 0x7F00: low byte = R6
	mov	dph,#>IN0BUF
	movx	@dptr,a			; ... into IN0BUF[R6]
	inc	r5
	inc	r6
	dec	r4
	mov	a,r4
	jz	4$
	cjne	r6,#64,3$
4$:	mov	a,r6
	acall	arm_ep0			; arms the packet
	jc	8$			; replaced by a new request
5$:	acall	new_setup
	jc	8$			; replaced: the SETUP dropped the packet
	mov	dptr,#EP0CS
	movx	a,@dptr
	jb	ACC+bnIN0BSY,5$		; until the host has taken the packet ...
	acall	new_setup
	jc	8$			; ... or a new SETUP has dropped it
	sjmp	2$
6$:	clr	a
	acall	arm_ep0			; zero-length packet after the data
	jc	8$
	acall	new_setup
	jc	8$
	mov	dptr,#EP0CS
	mov	a,#bmHSNAK
	movx	@dptr,a
	ajmp	handshake
8$:	ret

;--------------------------------------------------------------------------
; endpoint_halt_target - for the endpoint halt features: the endpoint the
; request names, when wValue (all 16 bits) is ENDPOINT_HALT and the wIndex
; low byte is an endpoint address (bits 6-3 clear).
; Out: C = 1 and A = the endpoint address; C = 0 otherwise (a request
; error). Clobbers: A, DPTR, R6.
;--------------------------------------------------------------------------
endpoint_halt_target:
	mov	dptr,#wValueL
	movx	a,@dptr
	mov	r6,a
	inc	dptr
	movx	a,@dptr
	orl	a,r6
	jnz	1$			; not ENDPOINT_HALT (0)
	mov	dptr,#wIndexL
	movx	a,@dptr
	mov	r6,a
	anl	a,#~(EP_DIR_IN|EP_NUMBER)
	jnz	1$			; bits 6-3 set: no such endpoint
	mov	a,r6
	setb	c
	ret
1$:	clr	c
	ret

;--------------------------------------------------------------------------
; endpoint_cs_addr - the control and status register of an endpoint.
; In: A = endpoint address e (bit 7: IN, bits 2..0: number n; bits 6..3
; ignored, existence not checked). Out: DPTR = 0x7FB4 + 2 x (n + 8 x o),
; o = 1 for OUT: 0x80 EP0CS, 0x81-0x87 IN1CS-IN7CS, 0x01-0x07
; OUT1CS-OUT7CS, 0x00 0x7FC4. Clobbers: A, C.
;--------------------------------------------------------------------------
endpoint_cs_addr::
	mov	c,ACC+bnEP_DIR_IN
	anl	a,#EP_NUMBER
	jc	1$
	orl	a,#0b00001000		; OUT: 8 registers further
1$:	rl	a			; 2 bytes per endpoint
	add	a,#<EP0CS
	mov	dpl,a
	mov	dph,#>EP0CS
	ret

;--------------------------------------------------------------------------
; The request routines: each carries out its whole request and returns
; C = 1 (true). Clobber: A, DPTR (the two set_ routines also R7).
;--------------------------------------------------------------------------

; get_configuration - one byte, current_configuration, armed in IN0BUF.
get_configuration::
	mov	a,current_configuration
	sjmp	one_byte_reply

; get_interface - one byte, current_alt_setting, armed in IN0BUF.
get_interface::
	mov	a,current_alt_setting
one_byte_reply:
	mov	dptr,#IN0BUF
	movx	@dptr,a
	mov	a,#1
	acall	arm_ep0			; arms the byte, whatever wLength says
	setb	c			; (replaced: the handshake leaves EP0 alone)
	ret

; set_configuration - current_configuration <- wValue low byte, any value.
; The standard request (bmRequestType 0x00) also puts the data toggles of
; all endpoints back to DATA0, as the host does with its own: without
; that, the first packet on an endpoint that stood at DATA1 would be taken
; for a repeat and lost. A class or vendor request with this bRequest
; leaves them: the host keeps its own toggles then, and a reset here would
; make the device take the host's next packet for a repeat.
set_configuration::
	mov	dptr,#wValueL
	movx	a,@dptr
	mov	current_configuration,a
	mov	r7,#RT_DEVICE_OUT
	sjmp	standard_toggle_reset

; set_interface - current_alt_setting <- wValue low byte, any value and
; any interface number. Like a configuration, the standard request
; (bmRequestType 0x01) starts the endpoints at DATA0.
set_interface::
	mov	dptr,#wValueL
	movx	a,@dptr
	mov	current_alt_setting,a
	mov	r7,#RT_INTERFACE_OUT
	; fall through

; standard_toggle_reset - reset_data_toggles when bmRequestType is R7,
; the standard request's; otherwise nothing. Returns C = 1.
standard_toggle_reset:
	mov	dptr,#bmRequestType
	movx	a,@dptr
	xrl	a,r7
	jz	reset_data_toggles
	setb	c
	ret

; reset_data_toggles - the toggles of EP1-EP7 OUT and IN to DATA0.
; Returns C = 1 (true). Clobbers: A, R7, DPTR.
reset_data_toggles:
	mov	dptr,#TOGCTL
	mov	r7,#7
1$:	mov	a,r7			; OUT endpoint n
	lcall	reset_toggle
	mov	a,r7
	orl	a,#bmTOG_IO		; IN endpoint n
	lcall	reset_toggle
	djnz	r7,1$
	setb	c
	ret

; reset_toggle - A = the endpoint selection (IO, endpoint number), DPTR =
; TOGCTL. Selects the endpoint first, then sets R: its toggle is DATA0.
; Clobbers: A.
reset_toggle:
	movx	@dptr,a
	orl	a,#bmTOG_R
	movx	@dptr,a
	ret
