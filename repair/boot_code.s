# Boot code for the FAT16 boot sector: bytes 62..511 of LBA 0.
#
# The BIOS loads the sector at 0000:7C00 and jumps to it with the boot drive
# in DL.  The code reads the root directory, finds the loader by name, loads
# it cluster by cluster along the FAT chain to 2000:0000 and far-jumps there
# with DL still holding the boot drive.  Reads use the INT 13h extensions
# when INT 13h AH=41h says they work, otherwise CHS through the BPB geometry.
#
# Needs a 386 (32-bit registers for LBA arithmetic).  Assumes 512-byte
# sectors.  The file must end below the EBDA, so at most about 500 KiB.
# No read retries: they do not fit, and disk BIOSes retry on their own.  Link at 0x7C3E so the messages sit at 0x7D00 + offset byte.

        .code16
        .text
        .globl  _start

        .set    BPB_SEC_PER_CLUS, 13
        .set    BPB_RESERVED,     14
        .set    BPB_FATS,         16
        .set    BPB_ROOT_ENTRIES, 17
        .set    BPB_FAT_SIZE,     22
        .set    BPB_SEC_PER_TRK,  24
        .set    BPB_HEADS,        26
        .set    BPB_HIDDEN,       28

        # Locals below BP = 0x7C00, pushed in this order at start-up.
        .set    DRIVE,      -2          # boot drive from DL
        .set    USE_EXT,    -1          # nonzero: INT 13h extensions usable
        .set    FAT_LBA,    -6
        .set    DATA_LBA,   -10

        .set    DIR_BUF,    0x7E00      # root directory, later one FAT sector
        .set    DIR_SEG,    DIR_BUF >> 4
        .set    LOAD_SEG,   0x2000

_start:
        cli
        xorw    %ax, %ax
        movw    %ax, %ss
        movw    $0x7C00, %sp
        movw    %sp, %bp
        movw    %ax, %ds
        movw    %ax, %es
        sti
        cld

        movb    $0, %dh
        pushw   %dx                     # DRIVE, USE_EXT = 0

        movb    $0x41, %ah
        movw    $0x55AA, %bx
        int     $0x13
        jc      1f
        cmpw    $0xAA55, %bx
        jne     1f
        testb   $1, %cl                 # AH=42h is in the subset
        jz      1f
        incb    USE_EXT(%bp)
1:
        # FAT_LBA = hidden + reserved
        movzwl  BPB_RESERVED(%bp), %eax
        addl    BPB_HIDDEN(%bp), %eax
        pushl   %eax

        # root = FAT_LBA + FATs * sectors per FAT
        movzwl  BPB_FAT_SIZE(%bp), %eax
        movzbl  BPB_FATS(%bp), %ecx
        mull    %ecx
        addl    FAT_LBA(%bp), %eax

        # DATA_LBA = root + root directory sectors (16 entries each)
        movw    BPB_ROOT_ENTRIES(%bp), %cx
        addw    $15, %cx
        shrw    $4, %cx
        movzwl  %cx, %ebx
        addl    %eax, %ebx
        pushl   %ebx

        movw    $DIR_SEG, %bx
        movw    %bx, %es
        call    read_sectors
        pushw   %ds
        popw    %es

        movw    $DIR_BUF, %di
        movw    BPB_ROOT_ENTRIES(%bp), %dx
find:
        cmpb    $0, (%di)               # end-of-directory marker
        je      not_found
        pushw   %di
        movw    $loader_name, %si
        movw    $11, %cx
        repe cmpsb
        popw    %di
        jne     2f
        testb   $0x18, 11(%di)          # skip volume labels and directories
        jz      found
2:
        addw    $32, %di
        decw    %dx                     # the BPB at 7C00 stays intact for the loader
        jnz     find

not_found:
        movb    msg_offsets, %al
        jmp     print

found:
        movw    26(%di), %si            # first cluster
        movw    $LOAD_SEG, %bx
        movw    %bx, %es

next_cluster:
        # Anything outside 2..FFF6h ends the chain: EOC, bad cluster, or a
        # zero start cluster for an empty file.
        leaw    -2(%si), %ax
        cmpw    $0xFFF5, %ax
        jae     start_loader

        movzwl  %ax, %eax
        movzbl  BPB_SEC_PER_CLUS(%bp), %ecx
        mull    %ecx
        addl    DATA_LBA(%bp), %eax
        call    read_sectors

        # The FAT sector holding this cluster's entry goes to DIR_BUF.
        pushw   %es
        movw    $DIR_SEG, %bx
        movw    %bx, %es
        movw    %si, %ax
        movzbl  %ah, %eax
        addl    FAT_LBA(%bp), %eax
        movw    $1, %cx
        call    read_sectors
        popw    %es

        movw    %si, %bx
        xorb    %bh, %bh
        addw    %bx, %bx
        movw    DIR_BUF(%bx), %si
        jmp     next_cluster

start_loader:
        movb    DRIVE(%bp), %dl
        ljmp    $LOAD_SEG, $0

# Read CX sectors from LBA EAX to ES:0000.  Returns ES past the data.
# Any failure is fatal.
read_sectors:
        pushal
        movw    DRIVE(%bp), %dx
        testb   %dh, %dh
        jz      chs

        # Disk address packet built on the stack.
        pushl   $0
        pushl   %eax
        pushw   %es
        pushw   $0
        pushw   $1
        pushw   $16
        movw    %sp, %si
        movb    $0x42, %ah
        int     $0x13
        leaw    16(%si), %sp            # keeps CF
        jmp     read_done

chs:
        xorl    %edx, %edx
        movzwl  BPB_SEC_PER_TRK(%bp), %ebx
        divl    %ebx
        incw    %dx
        movw    %dx, %cx                # CL = sector (1-based)
        xorl    %edx, %edx
        movw    BPB_HEADS(%bp), %bx
        divl    %ebx                    # EAX = cylinder, DL = head
        cmpl    $1023, %eax
        ja      disk_error              # beyond CHS reach
        movb    %al, %ch
        shlb    $6, %ah
        orb     %ah, %cl
        movb    %dl, %dh
        movb    DRIVE(%bp), %dl
        xorw    %bx, %bx
        movw    $0x0201, %ax
        int     $0x13

read_done:
        jc      disk_error
        popal
        incl    %eax
        movw    %es, %bx
        addw    $0x20, %bx
        movw    %bx, %es
        loop    read_sectors
        ret

disk_error:
        movb    msg_offsets + 1, %al

# Print the message at 0x7D00 + AL.  0xFF chains to the third message, 0x00
# ends it; then wait for a key and let the BIOS boot again.
print:
        movb    $0x7D, %ah
        xchgw   %ax, %si
3:
        lodsb
        incb    %al
        jz      4f
        decb    %al
        jz      5f
        movb    $0x0E, %ah
        movw    $7, %bx
        int     $0x10
        jmp     3b
4:
        movb    msg_offsets + 2, %al
        jmp     print
5:
        cbw                             # AH = 0: wait for a key
        int     $0x16
        int     $0x19

code_end:
        .org    417 - 62, 0
loader_name:
        .ascii  "NTLDR      "
        .org    428 - 62
msg_remove:
        .ascii  "\r\nRemove disks or other media."
        .byte   0xFF
        .org    459 - 62
msg_disk:
        .ascii  "\r\nDisk error"
        .byte   0xFF
        .org    472 - 62
msg_restart:
        .ascii  "\r\nPress any key to restart\r\n"
        .org    500 - 62
        .byte   0, 0, 0, 0, 0, 0, 0
msg_offsets:
        .byte   msg_remove - _start + 0x7C3E - 0x7D00
        .byte   msg_disk - _start + 0x7C3E - 0x7D00
        .byte   msg_restart - _start + 0x7C3E - 0x7D00
        .byte   0x55, 0xAA

        .section .note.GNU-stack, "", @progbits
