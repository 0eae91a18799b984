; Empty run of the core benchmark: loads and stops at once (start-up cost of
; a simulator process).
	.area	CODE (ABS)
	.org	0x0000
	ljmp	done
	.org	0x0003
done:	sjmp	done
