/* Compiled as C99: the public header must be usable from C, and every export callable. Run with
 * no X display and no audio server: every call fails cleanly. */
#include <stdio.h>
#include <string.h>

#include "OvraHelper.h"

static int32_t last_status = 99;
static int status_calls = 0;

static void on_data(const uint8_t* data, int32_t bytes, void* user) {
    (void)data;
    (void)bytes;
    (void)user;
}

static void on_status(int32_t status, void* user) {
    (void)user;
    last_status = status;
    status_calls++;
}

static int fails(const char* what) {
    fprintf(stderr, "%s; %d status calls, the last %d\n", what, status_calls, (int)last_status);
    return 1;
}

int main(void) {
    uint8_t* buf = (uint8_t*)1;
    int32_t len = 7;
    if (ov_capture_screen(&buf, &len) != 1 || buf != (uint8_t*)1 || len != 7)
        return fails("screenshot without a display should fail and leave outputs alone");
    ov_start_system_audio(on_data, NULL, on_status, NULL);
    if (status_calls != 1 || last_status != -3)
        return fails("system audio without a server: want one status -3");
    ov_stop_system_audio();
    ov_start_mic(on_data, NULL, on_status, NULL);
    if (status_calls != 2 || last_status != -2)
        return fails("mic without a server: want one status -2");
    ov_stop_mic();
    const char* no_input = "No input device available (AVAudioEngine returned 0Hz/0ch)";
    ov_get_last_mic_error(&buf, &len);
    if (buf == NULL || len != 58 || strcmp((const char*)buf, no_input) != 0)
        return fails("the failed mic start should have left its text");
    ov_free_buffer(buf);
    ov_free_buffer(NULL);
    return 0;
}
