/* The board's flash and RAM, shared by the bootloader's and the app's scripts. */
INCLUDE fwsplice.ld
FLASH_BASE = 0x08000000;
