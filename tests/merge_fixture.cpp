#include "merge_fixture.hpp"

#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>

namespace fs = std::filesystem;

std::string pattern(std::size_t size, unsigned seed)
{
    std::string bytes(size, '\0');
    for (std::size_t i = 0; i < size; ++i) {
        bytes[i] = static_cast<char>((i * 7 + seed + i / 251) & 0xFF);
    }
    return bytes;
}

std::string expected_image(const std::string& bootloader, const std::string& sketch)
{
    std::string image = bootloader.substr(0, 0x2000);
    // cppcheck takes the fill character for an unsigned value and '\xFF' for -1.
    // cppcheck-suppress invalidFunctionArg
    image.resize(0x2000, '\xFF');
    return image + sketch;
}

std::string read_file(const std::string& path)
{
    std::ifstream file(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>()};
}

std::string opened(const std::string& role, const std::string& path, long long size)
{
    return "Opened " + role + " file " + path + " : size is " + std::to_string(size) + "\n";
}

std::string allocated(long long sketch_size)
{
    return "Allocated " + std::to_string(sketch_size + 0x2000) + " bytes for buffer\n";
}

std::string progress(const std::string& boot, long long boot_size, const std::string& sketch,
                     long long sketch_size)
{
    return opened("bootloader", boot, boot_size) + opened("sketch", sketch, sketch_size) +
           allocated(sketch_size);
}

bool sanitized()
{
#if defined(__SANITIZE_ADDRESS__)
    return true;
#elif defined(__has_feature)
    return __has_feature(address_sanitizer);
#else
    return false;
#endif
}

int kernel_protection(const std::string& name)
{
    int value = 0;
    std::ifstream("/proc/sys/fs/" + name) >> value;
    return value;
}

void merge_fixture::SetUp()
{
    std::string name = (fs::temp_directory_path() / "fwsplice-test-XXXXXX").string();
    ASSERT_NE(mkdtemp(name.data()), nullptr);
    dir = name;
}

void merge_fixture::TearDown()
{
    fs::remove_all(dir);
}

std::string merge_fixture::write_file(const std::string& name, const std::string& bytes) const
{
    std::ofstream(path(name), std::ios::binary) << bytes;
    return path(name);
}

std::string merge_fixture::sparse_file(const std::string& name, off_t size) const
{
    const std::ofstream create{path(name)};
    EXPECT_EQ(truncate(path(name).c_str(), size), 0);
    return path(name);
}

std::string merge_fixture::device(const std::string& name) const
{
    struct stat system_device {};
    if (stat(("/dev/" + name).c_str(), &system_device) == 0 &&
        mknod(path(name).c_str(), S_IFCHR | 0666, system_device.st_rdev) == 0) {
        return path(name);
    }
    return "/dev/" + name;
}
