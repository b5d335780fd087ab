#include "image_buffer.hpp"

#include <new>

namespace fwsplice {

image_buffer allocate_image(std::size_t size) noexcept
{
    return image_buffer{new (std::nothrow) unsigned char[size]};
}

}  // namespace fwsplice
