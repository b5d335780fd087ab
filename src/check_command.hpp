#pragma once

namespace fwsplice {

/// fwsplice-check IMAGE BOOTLOADER SKETCH FLASH_SIZE: the build's check before an image is
/// merged. Fails (status 1, one line on standard error, IMAGE removed so that no old image is
/// flashed) when the bootloader has bytes other than 0xFF past its region, or when the image
/// would be larger than FLASH_SIZE bytes (0: no limit). Usage errors give status 2.
int check_command(int argc, char** argv) noexcept;

}  // namespace fwsplice
