/*
 * OvraHelper: system audio, microphone and screenshots for a host application.
 *
 * Audio arrives as 16 kHz mono signed 16-bit little-endian PCM chunks through a data callback;
 * each start call is answered exactly once through a status callback. The screenshot is a
 * Base64 JPEG of the main display, reduced to 1920 pixels wide when it is wider.
 *
 * Thread safety: every function may be called from any thread, also at the same time.
 * Callback safety: no library lock is held while a status callback runs, so any function may be
 * called from inside it. From inside a data callback (of either kind) every function may be called
 * too; a stop called there returns without waiting for any data callback in progress, of either
 * kind, and the stop's guarantee (below) then holds from the moment the calling callback returns.
 * Never make the library's audio thread wait, inside a data callback, for a thread that is itself
 * waiting in a stop: the stop waits for that callback, so neither would return. (A binding that
 * runs callbacks on the host's main thread must therefore not block the library's thread until
 * the main thread has run them.)
 *
 * Lifetimes: the callbacks and user pointers given to a start must stay valid until the matching
 * stop has returned (from outside a data callback) or, for a stop called inside one, until that
 * callback has returned. A stop also waits for a stop of the same kind that another thread began
 * earlier, so when any stop returns, no session of its kind registered before it began delivers.
 * Stop every capture before exiting the process and before unloading the library: the library
 * runs nothing at exit, so captures still running at exit keep calling their callbacks while the
 * host tears itself down (Python, for one, frees its callback objects then).
 * Unloading: the library is linked "nodelete" (as libpulse is): dlclose never unmaps it, since the
 * sound server's client thread outlives the sessions and may call into it when the server goes
 * away. Unloading with captures running leaves them running, calling the host's callbacks.
 *
 * Diagnostics: one line per event on standard error, prefixed "[tap] ", "[mic] " or "Error: ".
 */
#ifndef OVRAHELPER_H
#define OVRAHELPER_H

#include <stdint.h>

/*
 * The version of this header. The major version is the ABI: it names the shared object
 * (libOvraHelper.so.1) and the symbol version of the exports (OVRAHELPER_1.0).
 */
#define OVRAHELPER_VERSION_MAJOR 1
#define OVRAHELPER_VERSION_MINOR 0
#define OVRAHELPER_VERSION_PATCH 0

#if defined(_WIN32)
#define OV_EXPORT __declspec(dllexport)
#else
#define OV_EXPORT __attribute__((visibility("default")))
#endif

#ifdef __cplusplus
extern "C" {
#endif

/*
 * Receives one chunk of audio: `bytes` (a multiple of 2, never 0) of 16 kHz mono int16 samples.
 * The memory belongs to the library and is valid only during the call: copy what you keep.
 * `user` is the data user pointer given to the start call, unchanged.
 * Called on the session's own audio thread, never twice at once for one session.
 */
typedef void (*ov_data_callback)(const uint8_t* data, int32_t bytes, void* user);

/*
 * Receives the outcome of one start call:
 *   0 started, -1 already running, -2 no microphone input device, -3 start failed,
 *   -4 microphone permission refused, -5 microphone engine failed to start.
 * `user` is the status user pointer given to that start call, unchanged.
 */
typedef void (*ov_status_callback)(int32_t status, void* user);

/*
 * Starts capturing everything the machine plays. The status callback is called exactly once,
 * on the calling thread, before this function returns: 0, -1 or -3. Data callbacks come on the
 * session's serial queue and may begin before the status callback. The user pointers may be NULL
 * and are never read through. A NULL status callback starts nothing and writes one "Error: " line;
 * a NULL data callback is answered -3 with a "[tap] " line.
 */
OV_EXPORT void ov_start_system_audio(ov_data_callback on_data, void* data_user,
                                     ov_status_callback on_status, void* status_user);

/*
 * Stops system-audio capture, if any. When it returns, no data callback of the stopped session is
 * running or will start (called from inside a data callback: see "Callback safety" above). Does
 * nothing when no capture runs and none is being stopped.
 */
OV_EXPORT void ov_stop_system_audio(void);

/*
 * Starts capturing the current input device. Answers once through the status callback:
 * 0, -1, -2, -3, -4 or -5. When the user must first be asked for permission, this function
 * returns at once and the status callback (and the start) follow on the thread that completes
 * the request; otherwise the status callback runs on the calling thread before the return.
 * Data callbacks come on the engine's capture thread. The capture follows device changes by
 * itself, keeping the same callbacks. NULL callbacks are treated as by ov_start_system_audio.
 */
OV_EXPORT void ov_start_mic(ov_data_callback on_data, void* data_user,
                            ov_status_callback on_status, void* status_user);

/* Stops microphone capture, if any, with the same guarantee as ov_stop_system_audio. */
OV_EXPORT void ov_stop_mic(void);

/*
 * Copies out the description of the last failed microphone start: stores a NUL-terminated UTF-8
 * block through *out_buf and its length in bytes, without the NUL, through *out_len. Stores NULL
 * and 0 when no start has failed yet. The caller owns the block and frees it with ov_free_buffer.
 * With a NULL out-pointer it does nothing.
 */
OV_EXPORT void ov_get_last_mic_error(uint8_t** out_buf, int32_t* out_len);

/*
 * Takes a screenshot of the main display as a JPEG at quality 0.5 encoded in Base64 (standard
 * alphabet, padded, one line). A display wider than 1920 pixels is reduced to 1920 wide (1919 for
 * some widths, by rounding); when the reduction cannot be done (the scaler's library is missing,
 * memory is refused) the picture is sent at its own size rather than not at all. On success
 * returns 0 and stores a block of exactly *out_len bytes, with no terminator, through *out_buf;
 * the caller frees it with ov_free_buffer. On failure, also with a NULL out-pointer, returns 1
 * with an "Error: " line and leaves both variables untouched. Runs on the calling thread and
 * blocks it; several calls may run at once. On Wayland the picture comes from the compositor's
 * screen-copy protocol or the desktop portal, never from XWayland's empty root window.
 */
OV_EXPORT int32_t ov_capture_screen(uint8_t** out_buf, int32_t* out_len);

/* Gives back a block returned by the library. NULL is ignored. Any thread. */
OV_EXPORT void ov_free_buffer(uint8_t* buffer);

#ifdef __cplusplus
}
#endif

#endif /* OVRAHELPER_H */
