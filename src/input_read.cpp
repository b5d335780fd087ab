// Reading an input: the same on every platform.
#include "input_file.hpp"

#include <cerrno>
#include <cstring>

namespace fwsplice {

// An input meant to be read whole must also end where it measured: one that holds more (a file
// still being written, a /proc file that measures 0) would otherwise be merged cut short.
const char* read_input(std::FILE* file, unsigned char* place, std::size_t count,
                       bool whole) noexcept
{
    if (std::fread(place, 1, count, file) != count) {
        return std::ferror(file) != 0 ? std::strerror(errno) : "shorter than it measured";
    }
    unsigned char beyond = 0;
    if (whole && std::fread(&beyond, 1, 1, file) != 0) {
        return "longer than it measured";
    }
    return whole && std::ferror(file) != 0 ? std::strerror(errno) : nullptr;
}

}  // namespace fwsplice
