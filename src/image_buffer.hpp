#pragma once

#include <cstddef>
#include <memory>

namespace fwsplice {

/// Frees an image buffer the way allocate_image took it.
class image_deleter {
public:
    explicit image_deleter(bool huge_aligned = false) noexcept : huge_aligned_(huge_aligned) {}
    void operator()(unsigned char* block) const noexcept;

private:
    bool huge_aligned_;
};

/// The buffer that holds the combined image for the whole run.
// An array, not a vector: a vector would zero the image only for the reads to overwrite it.
// NOLINTNEXTLINE(modernize-avoid-c-arrays)
using image_buffer = std::unique_ptr<unsigned char[], image_deleter>;

/// Allocates size bytes, uninitialised, or nothing when memory runs out. On Linux a large
/// image is placed so that the system can back it with huge pages; only a hint, so the bytes
/// are the same whether or not it is taken.
image_buffer allocate_image(std::size_t size) noexcept;

}  // namespace fwsplice
