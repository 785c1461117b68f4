; A stand-in system file for the boot tests in QEMU, six sectors long.  The
; boot sector loads sectors 0..3 to 0000:0700 and starts sector 1 at
; 0070:0200.  This program writes what it was handed to the debug console
; (port E9h) as one line of KEY=value pairs, reads its own sector 4 through the
; boot sector's read_one entry, and ends QEMU through isa-debug-exit (port F4h;
; QEMU's exit status is then 2 * 10h + 1 = 33).
;   nasm -f bin -DFILE_LETTER="'I'" -o io.sys stand_in_system.asm

        cpu     386
        bits    16
        org     0                       ; CS = 0070h: offset 0 is 0000:0700

%ifndef FILE_LETTER
  %define FILE_LETTER 'I'
%endif

DEBUG_PORT      equ 0E9h
EXIT_PORT       equ 0F4h
EXIT_VALUE      equ 10h
READ_ONE        equ 7DF1h - 0700h       ; the boot sector's entry, as an offset in CS

%macro marker 1
        db      "sector", %1, 0
        times   (%1 - '0' + 1) * 512 - ($ - $$) db 0
%endmacro

        marker  '0'

; ---------------------------------------------------------------------------
; Sector 1: the entry point.
start:
        mov     [cs:saved + 0], sp      ; keep everything before touching it
        mov     [cs:saved + 2], ss
        mov     [cs:saved + 4], ds
        mov     [cs:saved + 6], es
        mov     [cs:saved + 8], bp
        mov     [cs:saved + 10], si
        mov     [cs:saved + 12], di
        mov     [cs:saved + 14], cs
        call    .here
.here:  pop     ax
        sub     ax, .here - start
        mov     [cs:saved + 16], ax     ; IP at the entry
        push    cs
        pop     ds
        xor     ax, ax
        mov     es, ax

        mov     si, text_file
        call    print_text
        mov     al, FILE_LETTER
        out     DEBUG_PORT, al
; The registers, in the order of `saved`.
        mov     si, text_registers
        mov     bx, saved
.register:
        call    print_text
        mov     ax, [bx]
        call    print_hex
        add     bx, 2
        cmp     byte [si], 0
        jne     .register
; The four words on the stack and the doubleword above them.
        mov     si, text_stack
        call    print_text
        mov     bx, [saved + 0]
        mov     cx, 4
.stack_word:
        mov     ax, [es:bx]
        call    print_hex_space
        add     bx, 2
        loop    .stack_word
        mov     si, text_data
        call    print_text
        mov     ax, [es:bx + 2]
        call    print_hex
        mov     ax, [es:bx]
        call    print_hex
; Vector 1Eh and the table it points at.
        mov     si, text_vector
        call    print_text
        mov     ax, [es:1Eh * 4 + 2]
        call    print_hex
        mov     al, ':'
        out     DEBUG_PORT, al
        mov     ax, [es:1Eh * 4]
        call    print_hex
        mov     si, text_table
        call    print_text
        lfs     bx, [es:1Eh * 4]
        mov     cx, 11
.table_byte:
        mov     al, [fs:bx]
        call    print_byte
        inc     bx
        loop    .table_byte
; The markers of the sectors loaded with this one.
        mov     si, text_sectors
        call    print_text
        mov     si, 0
        call    print_text
        call    blank
        mov     si, 400h
        call    print_text
        call    blank
        mov     si, 600h
        call    print_text
; Sector 4 through read_one: first data + (cluster - 2) * sectors per cluster + 4.
        mov     ax, [saved + 12]
        sub     ax, 2
        movzx   cx, byte [es:7C0Dh]
        mul     cx
        add     ax, [es:7BFCh]
        adc     dx, [es:7BFEh]
        add     ax, 4
        adc     dx, 0
        xor     cx, cx
        push    ds
        mov     ds, cx                  ; the routine wants DS = SS = 0
        mov     bp, 7C00h
        call    READ_ONE
        pop     ds
        setc    bl
        mov     si, text_read
        call    print_text
        mov     al, bl
        call    print_byte
        mov     si, 0                   ; 0000:0700 now holds sector 4
        call    print_text
        mov     al, 10
        out     DEBUG_PORT, al
        mov     al, EXIT_VALUE
        out     EXIT_PORT, al
        cli
.stop:  hlt
        jmp     .stop

; print_text: writes the zero-terminated text at DS:SI to the debug console.
;   Returns: SI past the terminating zero.
print_text:
        lodsb
        test    al, al
        jz      .done
        out     DEBUG_PORT, al
        jmp     print_text
.done:  ret

; print_hex: writes AX as four hex digits; print_hex_space adds a blank.
; print_byte: writes AL as two hex digits and a blank.
print_hex_space:
        call    print_hex
        jmp     blank
print_byte:
        push    cx
        mov     ah, al
        mov     cx, 2
        call    hex_digits
        pop     cx
        jmp     blank
print_hex:
        push    cx
        mov     cx, 4
        call    hex_digits
        pop     cx
        ret
hex_digits:                             ; the top CX digits of AX
        rol     ax, 4
        push    ax
        and     al, 0Fh
        add     al, '0'
        cmp     al, '9'
        jbe     .out
        add     al, 'A' - '9' - 1
.out:   out     DEBUG_PORT, al
        pop     ax
        loop    hex_digits
        ret
blank:
        mov     al, ' '
        out     DEBUG_PORT, al
        ret

saved:          times 9 dw 0            ; SP SS DS ES BP SI DI CS IP
text_file:      db "FILE=", 0
text_registers: db " SP=", 0, " SS=", 0, " DS=", 0, " ES=", 0, " BP=", 0, " SI=", 0
                db " DI=", 0, " CS=", 0, " IP=", 0, 0
text_stack:     db " STACK=", 0
text_data:      db "DATA=", 0
text_vector:    db " VECTOR1E=", 0
text_table:     db " TABLE=", 0
text_sectors:   db "LOADED=", 0
text_read:      db " READ4=", 0

        times   1024 - ($ - $$) db 0
        marker  '2'
        marker  '3'
        marker  '4'
        marker  '5'
