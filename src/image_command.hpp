#pragma once

namespace fwsplice {

/// fwsplice-image [--flash-size SIZE] [--flash-origin ADDRESS] [--hex FILE] BOOTLOADER SKETCH
/// OUTPUT: reads both inputs by their content, checks the image they make, and writes it (and
/// its HEX) whole. Returns 0 when written; 1 when refused or failed, with any old OUTPUT and
/// HEX removed (never an input); 2 for a usage error.
int image_command(int argc, char** argv) noexcept;

}  // namespace fwsplice
