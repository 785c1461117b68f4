; bootstrap.asm - the program in the boot sector of a format149 volume.
;
; Assembled with `nasm -f bin` to exactly 448 bytes: sector offsets 62..509,
; everything between the BIOS parameter block and the 55h AAh signature.  The
; build embeds these bytes into the boot-sector template.  The area's offset
; and length come from the build (-DBOOTSTRAP_AREA=62 -DBOOTSTRAP_AREA_LENGTH=448),
; which reads them from the boot-sector offsets in volume/images.h.
;
; When a PC boots from the disk, the BIOS loads sector 0 to 0000:7C00 and the
; jump at offset 0 leads here (offset 62 = 7C3Eh).  The program searches the
; root directory for the system file, loads its first four sectors to
; 0000:0700 and starts it at 0070:0200.  On a disk fresh from format149 there
; is no such file: it says so, waits for a key and restarts the boot.
;
; Layout of the sector (offsets within the sector / addresses while booting):
;
;     0..  2  7C00..7C02  EB 3C 90: jump here; byte 2 becomes the read mode
;     3.. 61  7C03..7C3D  OEM name and BIOS parameter block (read in place)
;    62..382  7C3E..7D7E  code, first window
;   383..386  7D7F..7D82  message-index bytes 03h 18h 01h 27h
;   387..408  7D83..7D98  CR LF "Invalid system disk" FFh
;   409..425  7D99..7DA9  CR LF "Disk I/O error" FFh
;   426..470  7DAA..7DD6  CR LF "Replace the disk, and then press any key" CR LF 00h
;        471  7DD7        00h
;   472..482  7DD8..7DE2  "IO      SYS", the name searched for
;   483..493  7DE3..7DED  "MSDOS   SYS", carried, never searched for
;   494..496  7DEE..7DF0  7Fh 01h 00h, not used by the code
;   497..507  7DF1..7DFB  code, second window: the entries of read_sectors
;   508..509  7DFC..7DFD  00h 00h
;   510..511  7DFE..7DFF  55h AAh
;
; Memory map during the boot (all in segment 0):
;
;   0000 +-----------------------------------------------+
;        | interrupt vectors; 1Eh at 0078 holds the far   |
;        | pointer to the diskette parameter table        |
;   0400 +-----------------------------------------------+
;        | BIOS data area                                 |
;   0522 +-----------------------------------------------+
;        | copy of the diskette parameter table, 11 bytes |
;        | (+4 sectors per track, +9 head settle = 15);   |
;        | vector 1Eh points here from the set-up on      |
;   052D +-----------------------------------------------+
;        :                                                :
;   0700 +-----------------------------------------------+
;        | sector buffer: the partition sector, then one  |
;        | root-directory sector at a time, then the four |
;        | sectors of the system file (0700..0EFF for     |
;        | 512-byte sectors); the file starts at          |
;        | 0070:0200 = 0900                               |
;        :                                                :
;        | stack, growing down from 7BF4                  |
;   7BF4 +-----------------------------------------------+
;        | 0078   offset of vector 1Eh  \  pushed at the  |
;   7BF6 | 0000   segment of vector 1Eh  | set-up, popped |
;   7BF8 | old offset of the table       | to put vector  |
;   7BFA | old segment of the table     /  1Eh back       |
;   7BFC +-----------------------------------------------+
;        | first data sector, 32 bits                     |
;   7C00 +-----------------------------------------------+
;        | this boot sector; BP = 7C00 throughout         |
;   7E00 +-----------------------------------------------+
;
; What the system file is handed at 0070:0200:
;   DS = ES = SS = 0, SP = 7BF4 (the four words above on top, the first data
;   sector above them), BP = 7C00 (this sector still in place), DI = the
;   file's first cluster, SI = 7D81 (index byte 385), vector 1Eh still at the
;   table copy.  The file may call read_sectors at 7DF1/7DF2.

%ifndef BOOTSTRAP_AREA
%fatal "assemble with -DBOOTSTRAP_AREA=<sector offset> -DBOOTSTRAP_AREA_LENGTH=<bytes>"
%endif
%ifndef BOOTSTRAP_AREA_LENGTH
%fatal "assemble with -DBOOTSTRAP_AREA=<sector offset> -DBOOTSTRAP_AREA_LENGTH=<bytes>"
%endif

        cpu     386
        bits    16
        org     7C00h + BOOTSTRAP_AREA

; ---------------------------------------------------------------------------
; Addresses

BOOT_SECTOR     equ 7C00h
VECTOR_1E       equ 1Eh * 4         ; 0000:0078
TABLE_COPY      equ 0522h           ; the copied diskette parameter table
TABLE_SIZE      equ 11
TABLE_SPT       equ 4               ; sectors per track
TABLE_SETTLE    equ 9               ; head settle time
HEAD_SETTLE_MS  equ 15
SECTOR_BUFFER   equ 0700h
PARTITION_TABLE equ SECTOR_BUFFER + 446
PARTITION_COUNT equ 4
PART_TYPE       equ 4               ; offsets within a 16-byte partition entry
PART_START      equ 8
ENTRY_SIZE      equ 32              ; a directory entry
ENTRY_CLUSTER   equ 26
NAME_SIZE       equ 11
LOAD_SECTORS    equ 4
SYSTEM_SEGMENT  equ 0070h
SYSTEM_OFFSET   equ 0200h
EXTENDED_MODE   equ 0Eh             ; read mode that selects INT 13h AH=42h
TELETYPE_COLOUR equ 7               ; BH = page 0, BL = colour 7

; Sector offsets of the data between the code windows, as addresses.
%define AT(offset) (BOOT_SECTOR + (offset))
INDEX_INVALID   equ AT(383)         ; -> "Invalid system disk"
INDEX_IO_ERROR  equ AT(384)         ; -> "Disk I/O error"
INDEX_HANDOVER  equ AT(385)         ; -> "Invalid system disk", for the system file
INDEX_REPLACE   equ AT(386)         ; -> "Replace the disk, and then press any key"
SYSTEM_NAME     equ AT(472)
MESSAGE_CHAIN   equ 0FFh            ; ends a message, goes on with INDEX_REPLACE
MESSAGE_END     equ 00h

; ---------------------------------------------------------------------------
; Boot-sector fields, read in place through BP = 7C00h (BP-based operands use
; SS, which is 0).

%define ReadMode            byte  [bp + 02h]  ; no-op of the jump; partition type | 2
%define OemName                   [bp + 03h]  ; 8 bytes, not used
%define BytesPerSector      word  [bp + 0Bh]
%define SectorsPerCluster   byte  [bp + 0Dh]
%define ReservedSectors     word  [bp + 0Eh]
%define FatCount            byte  [bp + 10h]
%define RootEntries         word  [bp + 11h]
%define TotalSectors16      word  [bp + 13h]  ; not used
%define MediaDescriptor     byte  [bp + 15h]  ; not used
%define SectorsPerFat       word  [bp + 16h]
%define SectorsPerTrack     word  [bp + 18h]
%define SectorsPerTrackLow  byte  [bp + 18h]
%define HeadCount           word  [bp + 1Ah]
%define HiddenSectors       dword [bp + 1Ch]
%define HiddenSectorsLow    word  [bp + 1Ch]
%define HiddenSectorsHigh   word  [bp + 1Eh]
%define TotalSectors32      dword [bp + 20h]  ; not used
%define PhysicalDrive       byte  [bp + 24h]
%define ReservedByte        byte  [bp + 25h]  ; not used
%define ExtendedSignature   byte  [bp + 26h]  ; not used
%define SerialNumber        dword [bp + 27h]  ; not used
%define VolumeLabel               [bp + 2Bh]  ; 11 bytes, not used
%define FileSystemType            [bp + 36h]  ; 8 bytes, not used
%define FirstDataLow        word  [bp - 4]    ; the variable at 7BFC..7BFF
%define FirstDataHigh       word  [bp - 2]

; Placement guards.  NASM rejects a negative TIMES count ("TIMES value -N is
; negative"), so code that outgrows a window stops the build at the guard's line.
;
; pad_to: pads with zeros up to sector offset %1; fails when the code before
; it already reaches past that offset.
%macro pad_to 1
        times (%1 - BOOTSTRAP_AREA) - ($ - $$) db 0
%endmacro

; expect_at: fails unless the next byte lands exactly at sector offset %1.
%macro expect_at 1
        times ($ - $$) - (%1 - BOOTSTRAP_AREA) db 0
        times (%1 - BOOTSTRAP_AREA) - ($ - $$) db 0
%endmacro

; ===========================================================================
; Code, first window (sector offsets 62..382)

start:
; Set-up: stack below the variable, ES = 0, BP at the boot sector.
        xor     ax, ax
        cwd                             ; DX:AX = 0, for the partition probe
        mov     ss, ax
        mov     sp, BOOT_SECTOR - 4
        mov     es, ax
        mov     bp, BOOT_SECTOR

; Keep the diskette parameter table pointer on the stack (segment, offset,
; then where it lives), copy the table to TABLE_COPY and point vector 1Eh at
; the copy with a head settle time of 15 ms.
        mov     bx, VECTOR_1E
        lds     si, [es:bx]
        push    ds
        push    si
        push    es
        push    bx
        mov     di, TABLE_COPY
        mov     cx, TABLE_SIZE
        cld
        rep     movsb                   ; leaves CX = 0
        push    es
        pop     ds
        mov     byte [di - TABLE_SIZE + TABLE_SETTLE], HEAD_SETTLE_MS
        mov     word [bx], TABLE_COPY
        mov     [bx + 2], cx

; Partition probe, for a fixed disk only: the partition entry that starts at
; our hidden-sectors count gives the read mode (its type | 2), the last such
; entry winning.  A failed read is not looked at.
        test    PhysicalDrive, 80h
        jz      .located
        call    read_one                ; sector 0 (CX = 0: one sector)
        mov     si, PARTITION_TABLE + PART_START
        mov     cl, PARTITION_COUNT     ; CH is 0 after read_one
.partition:
        lodsd
        cmp     eax, HiddenSectors
        jne     .other
        mov     al, [si - 4 - PART_START + PART_TYPE]
        or      al, 2
        mov     ReadMode, al
.other:
        add     si, 16 - 4
        loop    .partition
.located:

; The first pass looks for the name with its first byte raised to 4Ah.
        inc     byte [SYSTEM_NAME]

; ---------------------------------------------------------------------------
; search_pass: one pass over the root directory for the name at SYSTEM_NAME.
;   Entered with:  CX = 0 (read_sectors and the scan leave it so), DS = ES = 0,
;                  SP = 7BF4h
;   Goes on to:    found, DI = the matching entry
;                  disk_error, when a directory sector cannot be read
;                  search_pass again after pass 1, else print_message with
;                  "Invalid system disk"
;   Sets the first-data-sector variable on the way.
search_pass:
; Root-directory sectors = (32 * entries + bytes per sector - 1) / bytes per
; sector, into DI.
        mov     ax, ENTRY_SIZE
        mul     RootEntries
        mov     bx, BytesPerSector
        dec     bx
        add     ax, bx
        adc     dx, cx
        inc     bx
        div     bx
        xchg    ax, di
; First root-directory sector = hidden + FATs * sectors per FAT + reserved,
; into DX:AX; the first data sector follows the root directory.
        movzx   ax, FatCount
        mul     SectorsPerFat
        add     ax, HiddenSectorsLow
        adc     dx, HiddenSectorsHigh
        add     ax, ReservedSectors
        adc     dx, cx
        mov     FirstDataLow, ax
        mov     FirstDataHigh, dx
        add     FirstDataLow, di
        adc     FirstDataHigh, cx

; Scan the directory a sector at a time.  SI counts the entries left, DI walks
; the buffer, BX is the end of the data read, DX:AX the next sector.
        mov     si, RootEntries
.next_sector:
        call    read_one
        jc      disk_error
        mov     di, SECTOR_BUFFER
.entry:
        cmp     [di], ch                ; 00h (CH = 0): the end of the directory
        je      .not_found
        pusha
        mov     si, SYSTEM_NAME
        mov     cl, NAME_SIZE
        repe    cmpsb
        popa
        je      found
        dec     si
        jz      .not_found
        add     di, ENTRY_SIZE
        cmp     di, bx
        jb      .entry
        jmp     .next_sector

; Lower the name again.  After pass 1 it reads "IO      SYS" (49h, odd parity:
; make pass 2); after pass 2 it has gone down to 48h (even parity: give up).
.not_found:
        dec     byte [SYSTEM_NAME]
        jpo     search_pass
        mov     si, INDEX_INVALID
        jmp     print_message

; ---------------------------------------------------------------------------
; found: loads four sectors from the first cluster of the entry and starts the
; system file.
;   Entered with:  DI = the matching directory entry, CH = 0, SP = 7BF4h
;   Goes on to:    0070:0200 with DI = the first cluster and SI = 7D81h, or
;                  disk_error
found:
        mov     di, [di + ENTRY_CLUSTER]
        lea     ax, [di - 2]
        mov     cl, SectorsPerCluster   ; CH is 0
        mul     cx
        add     ax, FirstDataLow
        adc     dx, FirstDataHigh
        mov     cl, LOAD_SECTORS
        call    read_sectors
        jc      disk_error
        mov     si, INDEX_HANDOVER
        jmp     SYSTEM_SEGMENT:SYSTEM_OFFSET

disk_error:
        mov     si, INDEX_IO_ERROR
        jmp     print_message

; ---------------------------------------------------------------------------
; print_message: writes a message through the BIOS teletype, then waits for a
; key, puts vector 1Eh back and restarts the boot.  Does not return.
;   Call with:  SI = address of a message-index byte p; the message starts at
;               p + 1 + [p].  FFh goes on with the message of INDEX_REPLACE,
;               00h ends.
;               SP = 7BF4h (the four words of the set-up on top), DS = 0.
chain_message:
        mov     si, INDEX_REPLACE
print_message:
        lodsb
        cbw                             ; index values are below 80h
        add     si, ax
.char:
        lodsb
        test    al, al
        js      chain_message           ; FFh (no text byte has bit 7 set)
        jz      .wait_key               ; 00h
        mov     ah, 0Eh
        mov     bx, TELETYPE_COLOUR
        int     10h
        jmp     .char
.wait_key:
        cbw                             ; AH = 0: read a key
        int     16h
        pop     si                      ; 0078h
        pop     ds                      ; 0
        pop     dword [si]              ; the old table pointer
        int     19h

; ---------------------------------------------------------------------------
; read_body: the per-sector loop of read_sectors, continued from the second
; window, where its entries are.
;   Entered with:  the caller's registers saved by PUSHA, then the packet's
;                  sector number bits 32..63 (0) and 16..31 (DX) pushed
;   Returns:       as read_sectors (see there)
read_body:
        push    ax                      ; sector number, low word
        push    es                      ; buffer segment
        push    bx                      ; buffer offset
        push    byte 1                  ; sector count
        push    byte 10h                ; packet size, reserved byte 0
        mov     si, sp                  ; DS:SI = the packet (DS = SS = 0)
; CHS: DX:AX / sectors per track -> quotient CX:AX, sector = remainder + 1;
; the quotient / heads -> cylinder AX, head DX.
        mov     di, SectorsPerTrack
        xchg    ax, cx
        xchg    ax, dx
        xor     dx, dx
        div     di
        xchg    ax, cx
        div     di
        inc     dx
        xchg    cx, dx
        div     HeadCount
        mov     ch, al                  ; cylinder bits 0..7
        shl     ah, 6
        or      cl, ah                  ; cylinder bits 8..9 into CL bits 6..7
        mov     dh, dl                  ; head
        mov     dl, PhysicalDrive
        xchg    ax, di                  ; AL = sectors per track, low byte
        mov     [TABLE_COPY + TABLE_SPT], al
        mov     ax, 0201h               ; read one sector
        cmp     ReadMode, EXTENDED_MODE
        jne     .call
        mov     ah, 42h                 ; extended read, DS:SI = packet
.call:
        int     13h
        popa                            ; drop the packet (flags kept)
        popa                            ; registers as they were
        jc      .done
        inc     ax                      ; next sector number
        jnz     .same_high
        inc     dx
.same_high:
        add     bx, BytesPerSector
        loop    read_next               ; CF clear: BX stayed in the segment
.done:
        ret

        pad_to  383

; ===========================================================================
; Data between the windows (sector offsets 383..496)

        db      03h, 18h, 01h, 27h
        expect_at 387
        db      13, 10, "Invalid system disk", MESSAGE_CHAIN
        expect_at 409
        db      13, 10, "Disk I/O error", MESSAGE_CHAIN
        expect_at 426
        db      13, 10, "Replace the disk, and then press any key", 13, 10, MESSAGE_END
        expect_at 471
        db      0
        expect_at 472
        db      "IO      SYS"
        db      "MSDOS   SYS"
        db      7Fh, 01h, 00h
        expect_at 497

; ===========================================================================
; read_sectors: reads sectors one BIOS call at a time, no retry, no reset.
;   Call with:  read_one (7DF1h):     DX:AX = first sector, absolute, 32 bits
;                                     CX    = count - 1
;               read_sectors (7DF2h): DX:AX = first sector
;                                     CX    = count (1 or more)
;               both:                 ES    = buffer segment (offset 0700h)
;                                     BP    = 7C00h, DS = SS = 0
;                                     the data must end within ES's 64 KB
;   Returns:    CF set on error:  DX:AX = the sector that failed
;                                 BX    = its buffer offset
;                                 CX    = sectors left, counting it
;               CF clear:         DX:AX = the sector after the last one read
;                                 BX    = past the data
;                                 CX    = 0
;               SI, DI, BP and the segment registers are kept.
;   Before every BIOS call, byte 4 of the table copy is set to the low byte of
;   the sectors-per-track field; with read mode 0Eh the call is INT 13h
;   AH=42h with a packet on the stack, otherwise AH=02h with CHS.
read_one:
        inc     cx
read_sectors:
        mov     bx, SECTOR_BUFFER
read_next:
        pusha
        push    ss                      ; packet: sector number, high 32
        push    ss                      ; bits 0 (SS = 0)
        push    dx                      ; sector number, bits 16..31
        jmp     near read_body

        expect_at 508
        dw      0
        expect_at BOOTSTRAP_AREA + BOOTSTRAP_AREA_LENGTH
