# First-stage boot program of the disk's first sector (184 bytes).
#
# The BIOS runs it at 0000:7C00. It moves itself to 0000:0600, finds the
# active partition in the table at 0x7BE, loads that partition's first sector
# to 0000:7C00 and jumps there with SI pointing at the partition entry.
#
# It is assembled into the library's read-only data as the array bootProgram.
# Every address in it is a constant (a label difference plus the load
# address), so the object needs no relocations in either the 32- or 64-bit
# build.

        .section .rodata.bootprogram, "a"
        .globl  bootProgram
        .type   bootProgram, @object
        .code16

        .set    ORIGIN, 0x0600          # where the program runs after moving
        .set    TABLE, ORIGIN + 0x1BE   # partition table of the moved sector
        .set    LOADED, 0x7C00          # where the BIOS put us; where the partition goes

#define AT(label) ((label) - bootProgram + ORIGIN)

bootProgram:
        cli
        xorw    %ax, %ax
        movw    %ax, %ss
        movw    $LOADED, %sp
        movw    %ax, %ds
        movw    %ax, %es
        sti
        cld
        movw    $LOADED, %si
        movw    $ORIGIN, %di
        movw    $256, %cx
        rep movsw
        ljmp    $0, $AT(moved)

moved:
        movw    $TABLE, %si
        movw    $4, %cx
scan:
        cmpb    $0x80, (%si)
        je      found
        cmpb    $0, (%si)
        jne     missing                 # a status that is neither 0 nor 0x80
        addw    $16, %si
        loop    scan
        int     $0x18                   # nothing active: the BIOS decides
        jmp     halt

found:
        movw    $5, %di                 # attempts
read:
        movw    $LOADED, %bx
        movw    $0x0201, %ax            # read one sector
        movw    (%si), %dx              # DL drive (the status byte 0x80), DH head
        movw    2(%si), %cx             # sector and cylinder
        int     $0x13
        jnc     loaded
        xorw    %ax, %ax                # reset the disk and try again
        int     $0x13
        decw    %di
        jnz     read
        movw    $AT(errorLoading), %si
        jmp     print

loaded:
        cmpw    $0xAA55, LOADED + 510
        jne     missing
        ljmp    $0, $LOADED

missing:
        movw    $AT(missingSystem), %si
print:
        lodsb
        testb   %al, %al
        jz      halt
        movw    $0x0007, %bx            # page 0, attribute 7
        movb    $0x0E, %ah
        int     $0x10
        jmp     print
halt:
        jmp     halt

        # The messages and four zero bytes end the program at exactly 184
        # bytes; .org fails the build if the code grows into them.
        .org    184 - 4 - 25 - 31, 0
errorLoading:
        .asciz  "Error loading operating system"
missingSystem:
        .asciz  "Missing operating system"
        .byte   0, 0, 0, 0
        .size   bootProgram, . - bootProgram

        .section .note.GNU-stack, "", @progbits
