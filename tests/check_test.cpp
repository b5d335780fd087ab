// The build's check before a merge, run as the build runs it: where an input built here is
// linked, read from ELF files that may be hostile.
#include "merge_fixture.hpp"
#include "run_fwsplice.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

namespace {

using check_test = merge_fixture;

struct segment {
    std::uint32_t type;
    std::uint64_t address;
    std::uint64_t file_size;
};

/// The ELF layout a test changes: by default a header, then its program headers.
struct elf_shape {
    bool wide = false;
    bool big_endian = false;
    std::vector<segment> segments;
    std::uint64_t table = 0;       ///< program headers' offset; 0: right after the header
    std::uint16_t entry_size = 0;  ///< 0: the format's
    std::uint16_t entries = 0;     ///< 0: as many as segments
    std::size_t cut_to = 0;        ///< cut the file to this many bytes; 0: whole
};

void put(std::string& bytes, std::size_t at, std::uint64_t value, std::size_t width, bool big)
{
    if (bytes.size() < at + width) {
        bytes.resize(at + width, '\0');
    }
    for (std::size_t i = 0; i < width; ++i) {
        const std::size_t index = big ? at + width - 1 - i : at + i;
        bytes[index] = static_cast<char>((value >> (8 * i)) & 0xFF);
    }
}

std::string make_elf(const elf_shape& shape)
{
    const bool wide = shape.wide;
    const bool big = shape.big_endian;
    const std::size_t header = wide ? 64 : 52;
    const std::size_t entry = wide ? 56 : 32;
    std::string bytes(header, '\0');
    bytes.replace(0, 4,
                  "\x7f"
                  "ELF");
    bytes[4] = wide ? 2 : 1;
    bytes[5] = big ? 2 : 1;
    bytes[6] = 1;
    const std::uint64_t table = shape.table != 0 ? shape.table : header;
    put(bytes, wide ? 32 : 28, table, wide ? 8 : 4, big);
    put(bytes, wide ? 54 : 42, shape.entry_size != 0 ? shape.entry_size : entry, 2, big);
    put(bytes, wide ? 56 : 44, shape.entries != 0 ? shape.entries : shape.segments.size(), 2, big);
    for (std::size_t i = 0; i < shape.segments.size(); ++i) {
        const std::size_t at = header + i * entry;
        put(bytes, at, shape.segments[i].type, 4, big);
        put(bytes, at + (wide ? 24 : 12), shape.segments[i].address, wide ? 8 : 4, big);
        put(bytes, at + (wide ? 32 : 16), shape.segments[i].file_size, wide ? 8 : 4, big);
    }
    bytes.resize(shape.cut_to != 0 ? shape.cut_to : header + shape.segments.size() * entry, '\0');
    return bytes;
}

TEST_F(check_test, an_app_is_checked_where_its_elf_file_says_it_loads)
{
    constexpr std::uint32_t load = 1;
    constexpr std::uint32_t note = 4;
    const std::vector<segment> right{{note, 0, 16}, {load, 0x08002400, 64}, {load, 0x08002000, 8}};
    const std::string wrong_at_base =
        "fwsplice: sketch app is linked at 0x08000000, but the image puts it at 0x08002000 "
        "(FLASH_ORIGIN 0x08000000 + 0x2000): link it at 0x08002000\n";
    const auto broken = [this](const std::string& reason) {
        return "fwsplice: sketch app: " + path("app.elf") + ": " + reason + "\n";
    };
    const struct {
        const char* what;
        std::string elf;
        int status;
        std::string err;
    } cases[] = {
        {"ELF32, little-endian, linked right", make_elf({false, false, right}), 0, ""},
        {"ELF64, big-endian, linked right", make_elf({true, true, right}), 0, ""},
        {"linked at the flash base", make_elf({false, false, {{load, 0x08000000, 4}}}), 1,
         wrong_at_base},
        {"a segment without bytes below the rest",
         make_elf({true, false, {{load, 0x08000000, 0}, {load, 0x08002000, 4}}}), 0, ""},
        {"not an ELF file", "raw bytes, as objcopy makes them", 0, ""},
        {"an unknown class",
         std::string("\x7f"
                     "ELF\x03\x01",
                     6) +
             std::string(10, '\0'),
         1, broken("an ELF file of unknown class or byte order")},
        {"a header cut short", make_elf({true, false, right, 0, 0, 0, 40}), 1,
         broken("its ELF header is cut short")},
        {"no more than the magic number",
         "\x7f"
         "ELF",
         1, broken("its ELF header is cut short")},
        {"program headers at an offset that wraps",
         make_elf({true, false, right, ~std::uint64_t{0} - 8}), 1,
         broken("its ELF program headers lie outside the file")},
        {"more program headers than the file holds", make_elf({false, false, right, 0, 0, 200}), 1,
         broken("its ELF program headers lie outside the file")},
        {"an absurd count", make_elf({false, false, right, 0, 0, 0xFFFF}), 1,
         broken("its ELF header gives no program headers, or an absurd count")},
        {"no program headers", make_elf({false, false, {}}), 1,
         broken("its ELF header gives no program headers, or an absurd count")},
        {"program headers too small", make_elf({true, false, right, 0, 16}), 1,
         broken("its ELF program headers are smaller than their format")},
        {"no loaded segment with bytes", make_elf({false, false, {{note, 0, 4}, {load, 0, 0}}}), 1,
         broken("its ELF file has no loaded segment with bytes")},
    };
    const std::string boot = write_file("boot.bin", "boot");
    const std::string app = write_file("app.bin", "app");
    run_options check;
    check.program = FWSPLICE_CHECK_BINARY;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        const std::string image = write_file("image.bin", "old image");
        const std::string elf = write_file("app.elf", c.elf);
        const run_result result = run_fwsplice(
            {image, boot, app, "0", "--origin", "0x08000000", "--sketch-elf", "app", elf}, check);
        EXPECT_EQ(result.status, c.status);
        const std::string summary = "fwsplice: image.bin: 8195 bytes; bootloader 4 of 8192\n";
        EXPECT_EQ(result.err, c.status == 0 ? summary : c.err);
        EXPECT_EQ(std::filesystem::exists(image), c.status == 0);
    }
}

}  // namespace
