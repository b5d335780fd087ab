#pragma once

#include <cstddef>

namespace fwsplice {

/// Asks the system to back a large block with huge pages where it can; only a hint, so the
/// block is the same whether or not it is taken.
void advise_huge_pages(unsigned char* block, std::size_t size) noexcept;

}  // namespace fwsplice
