/* A bootloader that jumps to the application, which starts at FWSPLICE_SKETCH_OFFSET. */
#include <fwsplice/combined_image.h>

static unsigned int stack[32];

void reset(void)
{
    const unsigned int *app = (const unsigned int *)(0x08000000u + FWSPLICE_SKETCH_OFFSET);
    void (*start)(void) = (void (*)(void))app[1];
    start();
}

__attribute__((section(".text.vectors"), used)) static const void *const vectors[] = {
    stack + 32,
    (const void *)reset,
};
