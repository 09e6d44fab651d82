/* A host built against an installed OvraHelper: takes one screenshot and checks it is a JPEG. */
#include <OvraHelper.h>
#include <stdio.h>
#include <string.h>

#if !defined(OVRAHELPER_VERSION_MAJOR) || OVRAHELPER_VERSION_MAJOR != 1
#error "OvraHelper 1.x expected"
#endif

int main(void) {
    uint8_t* text = NULL;
    int32_t length = 0;
    if (ov_capture_screen(&text, &length) != 0) {
        fprintf(stderr, "screenshot failed\n");
        return 1;
    }
    /* A JPEG starts with FF D8 FF, which is "/9j/" in Base64. */
    const int ok = length > 4 && memcmp(text, "/9j/", 4) == 0;
    printf("OvraHelper %d.%d.%d: screenshot of %ld Base64 bytes\n", OVRAHELPER_VERSION_MAJOR,
           OVRAHELPER_VERSION_MINOR, OVRAHELPER_VERSION_PATCH, (long)length);
    ov_free_buffer(text);
    return ok ? 0 : 1;
}
