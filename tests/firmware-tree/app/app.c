/* An application behind the bootloader; each configuration says which it is. */
static unsigned int stack[64];
static const char built[] = "app built as " BUILT_AS;
volatile const char *shown;

void reset(void)
{
    shown = built;
    for (;;) {
    }
}

__attribute__((section(".text.vectors"), used)) static const void *const vectors[] = {
    stack + 64,
    (const void *)reset,
};
