// fwsplice-image's command line: its options, its numbers, and what it says of them.
#include "image_request.hpp"

#include <array>
#include <climits>
#include <cstdio>
#include <cstring>
#include <string_view>

namespace fwsplice {
namespace {

constexpr const char* usage =
    "usage: fwsplice-image [--flash-size SIZE] [--flash-origin ADDRESS] [--hex FILE]\n"
    "                      BOOTLOADER SKETCH OUTPUT\n";

constexpr const char* help =
    "Joins BOOTLOADER and SKETCH into OUTPUT, the sketch at offset 8192 (0x2000), once\n"
    "every check passes. Each input is read by its content: a raw image, ELF, Intel HEX or\n"
    "Motorola S-record; the bytes merged are those objcopy -O binary makes of it.\n"
    "\n"
    "  --flash-size SIZE        refuse an image larger than SIZE bytes\n"
    "  --flash-origin ADDRESS   where the image starts in flash: the bootloader must be\n"
    "                           linked there, the sketch 0x2000 above it\n"
    "  --hex FILE               also write the image as Intel HEX at ADDRESS (0 without it)\n"
    "  --help, --version        print this, or the version, and exit\n"
    "\n"
    "SIZE and ADDRESS are decimal or 0x hexadecimal, optionally followed by K or M.\n"
    "Exit status: 0 written; 1 refused or failed, with OUTPUT and FILE removed; 2 usage.\n"
    "See fwsplice-image(1).\n";

request_kind usage_error(const char* problem, const char* detail) noexcept
{
    std::fprintf(stderr, "fwsplice-image: %s%s\n%s", problem, detail, usage);
    return request_kind::usage_error;
}

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

/// Takes an option's value into the request; false after a line that says why it cannot.
bool take_value(std::string_view name, const char* value, image_request& request) noexcept
{
    const bool size = name == "--flash-size";
    if (name == "--hex") {
        request.hex = value;
        return true;
    }
    bool& given = size ? request.has_flash_size : request.has_origin;
    unsigned long long& number = size ? request.flash_size : request.origin;
    given = parse_bytes(value, number) && (!size || number > 0);
    if (!given) {
        std::fprintf(stderr,
                     "fwsplice-image: %s %s is not %s (decimal or 0x hexadecimal, optionally "
                     "followed by K or M)\n%s",
                     size ? "--flash-size" : "--flash-origin", value,
                     size ? "a size above 0" : "an address", usage);
    }
    return given;
}

}  // namespace

bool parse_bytes(const char* text, unsigned long long& value) noexcept
{
    const bool hex = text[0] == '0' && (text[1] == 'x' || text[1] == 'X');
    const unsigned base = hex ? 16 : 10;
    const char* const digits = hex ? text + 2 : text;
    std::size_t length = std::strlen(digits);
    unsigned long long scale = 1;
    if (length > 0 && (digits[length - 1] == 'K' || digits[length - 1] == 'k')) {
        scale = 1024;
    } else if (length > 0 && (digits[length - 1] == 'M' || digits[length - 1] == 'm')) {
        scale = 1024ULL * 1024;
    }
    length -= scale != 1 ? 1 : 0;
    // A leading 0 reads as octal elsewhere: refused rather than read another way.
    if (length == 0 || (!hex && digits[0] == '0' && length > 1)) {
        return false;
    }
    value = 0;
    for (std::size_t i = 0; i < length; ++i) {
        const int digit = digit_value(digits[i], base);
        if (digit < 0 || value > (ULLONG_MAX - static_cast<unsigned>(digit)) / base) {
            return false;
        }
        value = value * base + static_cast<unsigned>(digit);
    }
    if (value > ULLONG_MAX / scale) {
        return false;
    }
    value *= scale;
    return true;
}

namespace {

/// Takes the option at argv[at] (and its value, which may follow it) into the request.
request_kind take_option(int argc, char** argv, int& at, image_request& request) noexcept
{
    const std::string_view argument = argv[at];
    if (argument == "--help" || argument == "--version") {
        if (argument == "--help") {
            std::printf("%s\n%s", usage, help);
        } else {
            std::printf("fwsplice-image %s\n", FWSPLICE_VERSION);
        }
        return request_kind::answered;
    }
    const std::size_t equals = argument.find('=');
    const std::string_view name = argument.substr(0, equals);
    if (name != "--flash-size" && name != "--flash-origin" && name != "--hex") {
        return usage_error("unknown option ", argv[at]);
    }
    const bool given = name == "--hex"          ? request.hex != nullptr
                       : name == "--flash-size" ? request.has_flash_size
                                                : request.has_origin;
    if (given) {
        return usage_error(argv[at], ": the option is given twice");
    }
    const char* value = equals != std::string_view::npos ? argv[at] + equals + 1 : nullptr;
    if (value == nullptr && at + 1 == argc) {
        return usage_error(argv[at], " needs a value");
    }
    const bool taken = take_value(name, value != nullptr ? value : argv[++at], request);
    return taken ? request_kind::run : request_kind::usage_error;
}

}  // namespace

request_kind parse_image_request(int argc, char** argv, image_request& request) noexcept
{
    std::array<const char*, 3> paths{};
    int count = 0;
    bool options = true;
    for (int i = 1; i < argc; ++i) {
        const std::string_view argument = argv[i];
        if (options && argument == "--") {
            options = false;
        } else if (options && argument.size() > 1 && argument[0] == '-') {
            if (const request_kind kind = take_option(argc, argv, i, request);
                kind != request_kind::run) {
                return kind;
            }
        } else {
            if (count < 3) {
                paths[static_cast<std::size_t>(count)] = argv[i];
            }
            ++count;
        }
    }
    if (count != 3) {
        std::fprintf(stderr,
                     "fwsplice-image: BOOTLOADER, SKETCH and OUTPUT are needed; %d %s given\n%s",
                     count, count == 1 ? "path is" : "paths are", usage);
        return request_kind::usage_error;
    }
    request.bootloader = paths[0];
    request.sketch = paths[1];
    request.output = paths[2];
    return request_kind::run;
}

}  // namespace fwsplice
