#pragma once

namespace fwsplice {

/// What fwsplice-image is asked to make: the image of two inputs, and with `hex` its Intel HEX
/// copy, checked against the flash's size and origin where they are given.
struct image_request {
    const char* bootloader = nullptr;
    const char* sketch = nullptr;
    const char* output = nullptr;
    const char* hex = nullptr;
    bool has_flash_size = false;
    unsigned long long flash_size = 0;
    bool has_origin = false;
    unsigned long long origin = 0;
};

/// What the command line asks for: a run, or only the help or the version (printed), or
/// nothing it can do (said on standard error).
enum class request_kind { run, answered, usage_error };

/// Reads fwsplice-image's command line.
request_kind parse_image_request(int argc, char** argv, image_request& request) noexcept;

/// A size or an address as linker scripts write one: decimal, or 0x hexadecimal, optionally
/// followed by K or M (1024, 1024 * 1024); no sign, space, octal or overflow.
bool parse_bytes(const char* text, unsigned long long& value) noexcept;

}  // namespace fwsplice
