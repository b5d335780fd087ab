/* A bootloader that starts the application, whose vector table the linker script places at
 * FWSPLICE_SKETCH_OFFSET past the flash base. */
#include <fwsplice/combined_image.h>

extern void (*const app_vectors[2])(void);
static unsigned int stack[32];

void reset(void)
{
    app_vectors[1]();
}

/* The offset in C too, as the app's script has it. */
__attribute__((used)) static const unsigned int app_offset = FWSPLICE_SKETCH_OFFSET;

__attribute__((section(".text.vectors"), used)) static const void *const vectors[] = {
    stack + 32,
    (const void *)reset,
};
