/* A Cortex-M0+ application linked at 0x2000, after the bootloader: a vector table (initial
 * stack pointer, reset handler) and a loop. The firmware test changes the release line and
 * expects a new image. */
static unsigned int stack[64];
static const char release[] = "release 1";
volatile const char *shown;

void reset(void)
{
    shown = release;
    for (;;) {
    }
}

__attribute__((section(".text.vectors"), used)) static const void *const vectors[] = {
    stack + 64,
    (const void *)reset,
};
