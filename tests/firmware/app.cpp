#include <fwsplice/combined_image.hpp>

#include <cstdio>

// The firmware test changes this line and expects a new image.
const char* const release = "release 1";

int main()
{
    const fwsplice::image_layout layout = fwsplice::layout_for(20000, 100);
    std::printf("%s: %d %d %d %d %d\n", release, fwsplice::sketch_offset, layout.bootloader_bytes,
                layout.gap_bytes, layout.sketch_bytes, layout.total_size);
}
