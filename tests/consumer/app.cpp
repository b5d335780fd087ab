#include "combined_image.hpp"

#include <cstdio>

int main()
{
    const fwsplice::image_layout layout = fwsplice::layout_for(20000, 100);
    std::printf("%d %d %d %d %d\n", fwsplice::sketch_offset, layout.bootloader_bytes,
                layout.gap_bytes, layout.sketch_bytes, layout.total_size);
}
