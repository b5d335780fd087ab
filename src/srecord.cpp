// Motorola S-records, read as objcopy reads them.
#include "srecord.hpp"

#include <array>

namespace fwsplice {

bool s_records::read(const unsigned char* line, std::size_t length, text_record& record) noexcept
{
    // Address widths by type; S4 does not exist.
    constexpr std::array<std::size_t, 10> address_width{2, 2, 3, 4, 0, 2, 3, 4, 3, 2};
    std::size_t count = 0;
    if (length < 2 || line[0] != 'S' || line[1] < '0' || line[1] > '9' || line[1] == '4' ||
        !decode_pairs(line + 2, length - 2, bytes_, count) || count < 2 ||
        bytes_[0] + 1U != count || byte_sum(bytes_, count) != 0xFF) {
        return false;
    }
    const int type = line[1] - '0';
    const std::size_t width = address_width[static_cast<std::size_t>(type)];
    if (count < 1 + width + 1) {
        return false;
    }
    std::uint64_t address = 0;
    for (std::size_t i = 1; i <= width; ++i) {
        address = (address << 8U) | bytes_[i];
    }
    record = {};
    if (type >= 1 && type <= 3) {
        record = {text_record::kind::data, address, bytes_.data() + 1 + width, count - 2 - width};
    } else if (type >= 7) {
        record = {text_record::kind::end, address, nullptr, 0};
    }
    return true;
}

}  // namespace fwsplice
