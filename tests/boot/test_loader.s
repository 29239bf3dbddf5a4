# Stand-in for the loader the boot sector starts.  Reports on COM1 what it
# was handed and whether every byte of the file arrived, then ends QEMU
# through isa-debug-exit (port 0xF4): exit status 33 = intact, 35 = damaged.
#
# File layout: this code in sector 0; sector s (1..SECTORS-1) filled with
# s ^ 0xA5; then LAST_BYTES of the next value and "TAIL" at the very end.

        .code16
        .text
        .globl  _start

        .set    SECTORS, 160            # 80 KiB: several clusters, >64 KiB
        .set    LAST_BYTES, 96

_start:
        movw    %cs, %ax
        movw    %ax, %ds
        movw    %dx, %bp                # DL from the boot sector

        movw    $msg_head, %si
        call    puts
        movw    %bp, %ax
        call    hex_byte
        movw    $msg_cs, %si
        call    puts
        movw    %cs, %ax
        xchgb   %al, %ah
        call    hex_byte
        movw    %cs, %ax
        call    hex_byte

        # Walk the sectors behind this one, one segment step per sector.
        movw    $1, %dx
        movw    %cs, %bx
        cld
check_sector:
        addw    $0x20, %bx
        movw    %bx, %es
        xorw    %di, %di
        movw    $512, %cx
        cmpw    $SECTORS, %dx
        jb      1f
        movw    $LAST_BYTES, %cx
1:
        movb    %dl, %al
        xorb    $0xA5, %al
        repe scasb
        jne     bad
        cmpw    $SECTORS, %dx
        je      tail
        incw    %dx
        jmp     check_sector
tail:
        cmpl    $0x4C494154, %es:(%di)  # "TAIL"
        jne     bad
        movw    $msg_ok, %si
        call    puts
        movb    $0x10, %al
        outb    %al, $0xF4
        hlt

bad:
        movw    $msg_bad, %si
        call    puts
        movw    %dx, %ax
        xchgb   %al, %ah
        call    hex_byte
        movw    %dx, %ax
        call    hex_byte
        movw    $msg_nl, %si
        call    puts
        movb    $0x11, %al
        outb    %al, $0xF4
        hlt

# Print AL as two hex digits.
hex_byte:
        pushw   %ax
        shrb    $4, %al
        call    hex_digit
        popw    %ax
hex_digit:
        andb    $0x0F, %al
        addb    $'0', %al
        cmpb    $'9', %al
        jbe     putc
        addb    $'A' - '0' - 10, %al
putc:
        pushw   %dx
        pushw   %ax
        movw    $0x3FD, %dx
2:
        inb     %dx, %al
        testb   $0x20, %al
        jz      2b
        popw    %ax
        movb    $0xF8, %dl
        outb    %al, %dx
        popw    %dx
        ret

puts:
        lodsb
        testb   %al, %al
        jz      3f
        call    putc
        jmp     puts
3:
        ret

msg_head:   .asciz  "\r\nLOADER DL="
msg_cs:     .asciz  " CS="
msg_ok:     .asciz  " FILE=OK\r\n"
msg_bad:    .asciz  " FILE=BAD SECTOR="
msg_nl:     .asciz  "\r\n"

        .org    512
        .set    s, 1
        .rept   SECTORS - 1
        .fill   512, 1, (s ^ 0xA5) & 0xFF
        .set    s, s + 1
        .endr
        .fill   LAST_BYTES, 1, (SECTORS ^ 0xA5) & 0xFF
        .ascii  "TAIL"

        .section .note.GNU-stack, "", @progbits
