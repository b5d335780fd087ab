// The arguments of fwsplice-check, read as strictly as the build writes them.
#include "check_request.hpp"

#include <climits>
#include <cstdio>
#include <string_view>

namespace fwsplice {
namespace {

constexpr const char* usage =
    "usage: fwsplice-check IMAGE BOOTLOADER SKETCH FLASH_SIZE [--hex FILE] [--origin ADDRESS]\n"
    "                      [--bootloader-elf NAME FILE] [--sketch-elf NAME FILE]\n"
    "       fwsplice-check --source FILE LIMIT\n";

int digit_value(char c, unsigned base) noexcept
{
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    if (base == 16 && c >= 'a' && c <= 'f') {
        return c - 'a' + 10;
    }
    if (base == 16 && c >= 'A' && c <= 'F') {
        return c - 'A' + 10;
    }
    return -1;
}

}  // namespace

bool parse_number(const char* text, unsigned long long& value) noexcept
{
    const bool hex = text[0] == '0' && (text[1] == 'x' || text[1] == 'X');
    const unsigned base = hex ? 16 : 10;
    const char* const digits = hex ? text + 2 : text;
    // A leading 0 reads as octal elsewhere; the build never writes one.
    if (*digits == '\0' || (!hex && digits[0] == '0' && digits[1] != '\0')) {
        return false;
    }
    value = 0;
    for (const char* at = digits; *at != '\0'; ++at) {
        const int digit = digit_value(*at, base);
        if (digit < 0 || value > (ULLONG_MAX - static_cast<unsigned>(digit)) / base) {
            return false;
        }
        value = value * base + static_cast<unsigned>(digit);
    }
    return true;
}

bool parse_check(int argc, char** argv, check_request& request) noexcept
{
    if (argc < 5) {
        std::fputs(usage, stderr);
        return false;
    }
    request.image = argv[1];
    request.bootloader = argv[2];
    request.sketch = argv[3];
    if (!parse_number(argv[4], request.flash_size)) {
        std::fprintf(stderr, "fwsplice: FLASH_SIZE %s is not a number\n", argv[4]);
        return false;
    }
    for (int i = 5; i < argc; ++i) {
        const std::string_view option = argv[i];
        const int left = argc - i - 1;
        if (option == "--hex" && left >= 1) {
            request.hex = argv[++i];
        } else if (option == "--origin" && left >= 1) {
            request.has_origin = parse_number(argv[++i], request.origin);
            if (!request.has_origin) {
                std::fprintf(stderr, "fwsplice: FLASH_ORIGIN %s is not a number\n", argv[i]);
                return false;
            }
        } else if ((option == "--bootloader-elf" || option == "--sketch-elf") && left >= 2) {
            converted_input& input =
                option == "--sketch-elf" ? request.sketch_source : request.bootloader_source;
            input = {argv[i + 1], argv[i + 2]};
            i += 2;
        } else {
            std::fputs(usage, stderr);
            return false;
        }
    }
    return true;
}

bool parse_source(int argc, char** argv, source_request& request) noexcept
{
    if (argc != 4) {
        std::fputs(usage, stderr);
        return false;
    }
    request.file = argv[2];
    if (!parse_number(argv[3], request.limit) || request.limit == 0) {
        std::fprintf(stderr, "fwsplice: LIMIT %s is not a size above 0\n", argv[3]);
        return false;
    }
    return true;
}

}  // namespace fwsplice
