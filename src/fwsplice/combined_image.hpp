#pragma once

// The C headers, which freestanding compilers provide: firmware built for the target uses
// this layout too, often without a C++ library.
#include <fwsplice/combined_image.h>
#include <stdint.h>  // NOLINT(modernize-deprecated-headers)

namespace fwsplice {

/// Offset of the sketch in the combined image, and so the size of the bootloader region:
/// the bootloader owns the first 8 KiB of flash and the sketch starts right after it.
inline constexpr int32_t sketch_offset = FWSPLICE_SKETCH_OFFSET;

/// Value of the gap bytes: erased flash reads as 0xFF, so a gap programs as "nothing".
inline constexpr unsigned char gap_value = FWSPLICE_GAP_VALUE;

/// Largest bootloader whose size fits the image's signed 32-bit byte counts.
inline constexpr int64_t max_bootloader_size = INT32_MAX;

/// Largest sketch for which sketch_offset + sketch size still fits a signed 32-bit count.
inline constexpr int64_t max_sketch_size = INT32_MAX - sketch_offset;

/// Where the two inputs go in one combined image; all offsets are from its first byte.
struct image_layout {
    int32_t bootloader_bytes;  ///< bootloader bytes kept, at offset 0; the gap follows them
    int32_t gap_bytes;         ///< gap bytes, filled with gap_value, up to sketch_offset
    int32_t sketch_bytes;      ///< sketch bytes, placed at sketch_offset
    int32_t total_size;        ///< length of the combined image
};

/// Lays out an image; sizes must be in [0, max_bootloader_size] and [0, max_sketch_size].
/// A bootloader longer than the bootloader region is cut at sketch_offset, since the sketch
/// wins where the two would meet; nothing follows the sketch.
constexpr image_layout layout_for(int32_t bootloader_size, int32_t sketch_size) noexcept
{
    const int32_t kept = bootloader_size < sketch_offset ? bootloader_size : sketch_offset;
    return {kept, sketch_offset - kept, sketch_size, sketch_offset + sketch_size};
}

}  // namespace fwsplice
