#pragma once

#include <cstddef>
#include <memory>

namespace fwsplice {

/// The buffer that holds the combined image for the whole run.
// An array, not a vector: a vector would zero the whole image, which the kernel's copy of the
// sketch never touches.
// NOLINTNEXTLINE(modernize-avoid-c-arrays)
using image_buffer = std::unique_ptr<unsigned char[]>;

/// Allocates size bytes, uninitialised, or nothing when memory runs out. Pages the run never
/// touches (the sketch's, where the kernel copies it) cost no memory.
image_buffer allocate_image(std::size_t size) noexcept;

}  // namespace fwsplice
