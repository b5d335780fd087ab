/* The combined image's layout for C (C99 and later) and C++: the bootloader owns the first
 * 8 KiB of flash, and the sketch starts right after it. Linker scripts get the same offset
 * from fwsplice.ld, which the build makes from this file. */
#ifndef FWSPLICE_COMBINED_IMAGE_H
#define FWSPLICE_COMBINED_IMAGE_H

/* Offset of the sketch in the combined image, and so the size of the bootloader region. */
#define FWSPLICE_SKETCH_OFFSET 0x2000

/* Value of the gap bytes: erased flash reads as 0xFF, so a gap programs as "nothing". */
#define FWSPLICE_GAP_VALUE 0xFF

#endif
