;==========================================================================
; descriptors.asm - the board's USB identity: one table of 160 bytes with
; the device, configuration, interface, 14 endpoint and 3 string
; descriptors back to back, and the two lookups into it.
; The table is served in place (the controller's setup data pointer sends
; the device and configuration descriptors straight from it), so it stays
; in on-chip RAM below 0x2000, with no gap between the configuration and
; its interface and endpoints, and with the strings in index order.
; The lookups stop at the first descriptor of another type: the string 0
; after the configuration block, the end marker 00 00 after the strings.
; Shared state: reads config_descriptor_ptr, string_descriptor_ptr.
;==========================================================================
	.module descriptors
	.include "ezusb.inc"
	.include "areas.inc"

	.globl	config_descriptor_ptr
	.globl	string_descriptor_ptr

DSC_DEVICE = 1			; bDescriptorType values
DSC_CONFIG = 2
DSC_STRING = 3
DSC_INTERFACE = 4
DSC_ENDPOINT = 5

EP_BULK = 0x02			; bmAttributes
EP_INTERRUPT = 0x03

	.area	CSEG

descriptor_table::
device_descriptor::
	.db	18, DSC_DEVICE		; bLength, bDescriptorType
	.db	0x00, 0x01		; bcdUSB 1.00
	.db	0x00, 0x00, 0x00	; class, subclass, protocol: per interface
	.db	64			; bMaxPacketSize0
	.db	0x47, 0x05		; idVendor 0x0547
	.db	0x31, 0x21		; idProduct 0x2131
	.db	0x01, 0x00		; bcdDevice 0.01
	.db	1, 2, 0			; iManufacturer, iProduct, no serial number
	.db	1			; bNumConfigurations

config_descriptor::
	.db	9, DSC_CONFIG		; bLength, bDescriptorType
	.db	116, 0			; wTotalLength: 9 + 9 + 14 x 7
	.db	1			; bNumInterfaces
	.db	1			; bConfigurationValue
	.db	0			; iConfiguration
	.db	0b10100000		; bus-powered, remote wake-up
	.db	250			; MaxPower 500 mA

	.db	9, DSC_INTERFACE	; bLength, bDescriptorType
	.db	0, 0			; bInterfaceNumber, bAlternateSetting
	.db	14			; bNumEndpoints
	.db	0xFF, 0x00, 0x00	; vendor-specific class, subclass, protocol
	.db	0			; iInterface

; 7 bytes each: length, type, address, attributes, wMaxPacketSize 64,
; bInterval. The host's pipe numbers follow this order: OUT 1-7 are
; pipes 0-6, IN 1-7 pipes 7-13.
	.db	7, DSC_ENDPOINT, 0x01, EP_BULK, 64, 0, 0	; pipe 0: scripts
	.db	7, DSC_ENDPOINT, 0x02, EP_BULK, 64, 0, 0	; pipe 1: stream data
	.db	7, DSC_ENDPOINT, 0x03, EP_BULK, 64, 0, 0	; pipe 2: EP2's second buffer
	.db	7, DSC_ENDPOINT, 0x04, EP_BULK, 64, 0, 0	; pipe 3
	.db	7, DSC_ENDPOINT, 0x05, EP_BULK, 64, 0, 0	; pipe 4
	.db	7, DSC_ENDPOINT, 0x06, EP_BULK, 64, 0, 0	; pipe 5
	.db	7, DSC_ENDPOINT, 0x07, EP_BULK, 64, 0, 0	; pipe 6
	.db	7, DSC_ENDPOINT, 0x81, EP_INTERRUPT, 64, 0, 1	; pipe 7, 1 ms
	.db	7, DSC_ENDPOINT, 0x82, EP_BULK, 64, 0, 0	; pipe 8: replies
	.db	7, DSC_ENDPOINT, 0x83, EP_BULK, 64, 0, 0	; pipe 9: EP2's second buffer
	.db	7, DSC_ENDPOINT, 0x84, EP_BULK, 64, 0, 0	; pipe 10
	.db	7, DSC_ENDPOINT, 0x85, EP_BULK, 64, 0, 0	; pipe 11
	.db	7, DSC_ENDPOINT, 0x86, EP_BULK, 64, 0, 0	; pipe 12
	.db	7, DSC_ENDPOINT, 0x87, EP_BULK, 64, 0, 0	; pipe 13

string_descriptors::
	.db	4, DSC_STRING, 0x09, 0x04		; 0: language 0x0409
	.db	10, DSC_STRING, 'N, 0, 'E, 0, 'B, 0, 'U, 0	; 1: "NEBU"
	.db	10, DSC_STRING, 'Z, 0, '1, 0, '0, 0, '0, 0	; 2: "Z100"
	.db	0, 0			; end marker: no type 3 here
descriptor_table_end::

;--------------------------------------------------------------------------
; find_config_descriptor - the configuration descriptor with an index.
; In: A = index. Out: DPTR = its address, 0 when there is none.
; Clobbers: A, B, R2, PSW.
; From config_descriptor_ptr, skip index configurations by their
; wTotalLength while the byte at +1 is a configuration type.
;--------------------------------------------------------------------------
find_config_descriptor::
	mov	b,a			; configurations still to skip
	mov	dpl,config_descriptor_ptr
	mov	dph,config_descriptor_ptr+1
1$:	mov	a,#1
	movc	a,@a+dptr		; bDescriptorType
	cjne	a,#DSC_CONFIG,8$
	mov	a,b
	jz	9$			; this one
	dec	b
	mov	a,#3
	movc	a,@a+dptr		; wTotalLength, high byte
	mov	r2,a
	mov	a,#2
	movc	a,@a+dptr		; wTotalLength, low byte
	add	a,dpl
	mov	dpl,a
	mov	a,r2
	addc	a,dph
	mov	dph,a
	sjmp	1$
8$:	mov	dptr,#0			; none
9$:	ret

;--------------------------------------------------------------------------
; find_string_descriptor - the string descriptor with an index.
; In: A = index. Out: DPTR = its address, 0 when there is none.
; Clobbers: A, B, PSW.
; From string_descriptor_ptr, skip index strings by their bLength while
; the byte at +1 is a string type.
;--------------------------------------------------------------------------
find_string_descriptor::
	mov	b,a			; strings still to skip
	mov	dpl,string_descriptor_ptr
	mov	dph,string_descriptor_ptr+1
1$:	mov	a,#1
	movc	a,@a+dptr		; bDescriptorType
	cjne	a,#DSC_STRING,8$
	mov	a,b
	jz	9$			; this one
	dec	b
	clr	a
	movc	a,@a+dptr		; bLength
	add	a,dpl
	mov	dpl,a
	clr	a
	addc	a,dph
	mov	dph,a
	sjmp	1$
8$:	mov	dptr,#0			; none
9$:	ret
