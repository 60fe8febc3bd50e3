; Prints a line through the ROM's channel 2 and returns to Basic.
        org 32768
start:  ld a, 2
        call 5633               ; open the upper screen
        ld hl, message
next:   ld a, (hl)
        or a
        ret z
        rst 16                  ; print the character in a
        inc hl
        jr next
message:
        defb "Hello from pasmo", 13, 0
        end start
