#include "image_buffer.hpp"

#include <algorithm>
#include <new>

// Filling a fresh buffer of a megabyte or more faults it in 4 KiB at a time, and on Linux those
// faults cost more than the copy itself; a transparent huge page takes 2 MiB per fault, and a
// 2 MiB-aligned block can use them from its first byte. Below half a huge page, zeroing a whole
// one costs more than the small faults it saves. Elsewhere the hint does not exist and the
// buffer is allocated as usual.
#if defined(__linux__)
#include <sys/mman.h>
#endif

namespace fwsplice {
namespace {

constexpr std::size_t huge_page = std::size_t{2} << 20;

}  // namespace

void image_deleter::operator()(unsigned char* block) const noexcept
{
    if (huge_aligned_) {
        ::operator delete[](block, std::align_val_t{huge_page});
    } else {
        delete[] block;
    }
}

image_buffer allocate_image(std::size_t size) noexcept
{
#if defined(__linux__)
    if (size >= huge_page / 2) {
        // The whole huge pages of the image; an image under 2 MiB gets one whole page, a larger
        // one keeps its tail in small pages, so that at most 1 MiB more memory is touched.
        const std::size_t advised = size < huge_page ? huge_page : size / huge_page * huge_page;
        void* const block =
            ::operator new[](std::max(size, huge_page), std::align_val_t{huge_page}, std::nothrow);
        if (block != nullptr) {
            // A refusal (no THP in this kernel, or THP off) only leaves the small pages.
            static_cast<void>(madvise(block, advised, MADV_HUGEPAGE));
            return image_buffer{static_cast<unsigned char*>(block), image_deleter{true}};
        }
    }
#endif
    return image_buffer{new (std::nothrow) unsigned char[size]};
}

}  // namespace fwsplice
