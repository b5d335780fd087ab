#include "huge_pages.hpp"

// The one platform branch in the tool: filling a fresh multi-megabyte buffer faults it in
// 4 KiB at a time, and on Linux those faults cost more than the copy itself. Transparent huge
// pages take 2 MiB per fault. Elsewhere the hint does not exist and the buffer is used as is.
#if defined(__linux__)
#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>

namespace fwsplice {

void advise_huge_pages(unsigned char* block, std::size_t size) noexcept
{
    constexpr std::size_t huge_page = std::size_t{2} << 20;
    const long page_size = sysconf(_SC_PAGESIZE);
    if (size < 2 * huge_page || page_size <= 0) {
        return;
    }
    // madvise wants page-aligned bounds: advise the whole pages inside the block.
    const auto page = static_cast<std::size_t>(page_size);
    const std::size_t lead = (page - reinterpret_cast<std::uintptr_t>(block) % page) % page;
    const std::size_t length = (size - lead) / page * page;
    // A refusal (no THP in this kernel, or THP off) only leaves the small pages.
    static_cast<void>(madvise(block + lead, length, MADV_HUGEPAGE));
}

}  // namespace fwsplice
#else
namespace fwsplice {

void advise_huge_pages(unsigned char* /*block*/, std::size_t /*size*/) noexcept {}

}  // namespace fwsplice
#endif
