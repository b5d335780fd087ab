/* A vector table first, then code and constants in FLASH; variables in RAM. */
SECTIONS
{
    .text : { KEEP(*(.text.vectors)) *(.text*) *(.rodata*) } > FLASH
    .bss (NOLOAD) : { *(.bss*) *(COMMON) } > RAM
    /DISCARD/ : { *(.comment) *(.ARM.attributes) }
}
