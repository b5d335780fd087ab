#pragma once

#include <gtest/gtest.h>
#include <sys/types.h>

#include <string>

/// Bytes that run through every value, so that a misplaced byte shows.
std::string pattern(std::size_t size, unsigned seed);

/// The image as a user would make it by hand: the bootloader padded or cut to 8 KiB with
/// 0xFF, then the sketch.
std::string expected_image(const std::string& bootloader, const std::string& sketch);

std::string read_file(const std::string& path);

/// The tool's lines, as a run prints them.
std::string opened(const std::string& role, const std::string& path, long long size);
std::string allocated(long long sketch_size);
/// The three lines of a run that gets as far as the output.
std::string progress(const std::string& boot, long long boot_size, const std::string& sketch,
                     long long sketch_size);

/// A protection of the kernel's that the machine has set (fs.protected_symlinks and the like),
/// which a test never changes but reads, to expect what it gives; 0 where it cannot be read.
int kernel_protection(const std::string& name);

/// True in a build with AddressSanitizer, which reserves far more address space than a test's
/// RLIMIT_AS allows.
bool sanitized();

/// Owns a fresh temporary directory for each test.
class merge_fixture : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;

    std::string path(const std::string& name) const { return dir + "/" + name; }
    std::string write_file(const std::string& name, const std::string& bytes) const;
    /// A file of this length that takes no disk space.
    std::string sparse_file(const std::string& name, off_t size) const;
    /// The device /dev/<name>, as a node of this directory where the suite may make one (as
    /// root): a faulty tool then replaces that node and not the system's device.
    std::string device(const std::string& name) const;

    std::string dir;
};
