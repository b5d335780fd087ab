#pragma once

namespace fwsplice {

/// An input that the build converted to raw bytes, and the file it was converted from (ELF,
/// Intel HEX or S-record), which tells where those bytes are linked.
struct converted_input {
    const char* name = nullptr;
    const char* source = nullptr;
};

/// What the build asks the check for before a merge.
struct check_request {
    const char* image = nullptr;
    const char* bootloader = nullptr;
    const char* sketch = nullptr;
    unsigned long long flash_size = 0;
    const char* hex = nullptr;
    bool has_origin = false;
    unsigned long long origin = 0;
    converted_input bootloader_source;
    converted_input sketch_source;
};

/// What the build asks of an input before it converts it: its format, and that its bytes lie
/// within `limit` bytes of their start.
struct source_request {
    const char* file = nullptr;
    unsigned long long limit = 0;
};

/// A number as the build writes one: decimal, or 0x hexadecimal; no sign, no space, no octal.
bool parse_number(const char* text, unsigned long long& value) noexcept;

/// Reads the arguments; false, after a line that says why, where they make no request.
bool parse_check(int argc, char** argv, check_request& request) noexcept;

/// Reads the arguments that follow --source; false, after a line that says why, where they make
/// no request.
bool parse_source(int argc, char** argv, source_request& request) noexcept;

}  // namespace fwsplice
