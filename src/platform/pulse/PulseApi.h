// libpulse, opened on first use rather than linked: every pa_* function the backend calls, as one
// table filled from libpulse.so.0.
//
// The backend's code calls the functions by their own names (see TableCall.h), so it reads like
// plain libpulse code and a new call needs one line here. A function that is not listed fails
// the library's link: add it to OVRA_PULSE_FUNCTIONS, in alphabetical order.
//
// Why named objects rather than `pulseApi().stream_new(...)` at each call site, or a #define per
// function: the call sites, and other work on them, stay as they are; and unlike macros the
// names are scoped to this backend's namespace and cannot rewrite anything in other headers.
#pragma once

#include <pulse/pulseaudio.h>

#include <string>

#include "platform/TableCall.h"

// One name per line, unaligned, so that adding a function is a one-line change.
// clang-format off
#define OVRA_PULSE_FUNCTIONS(X) \
    X(pa_channel_map_compatible) \
    X(pa_channel_map_init_mono) \
    X(pa_context_connect) \
    X(pa_context_disconnect) \
    X(pa_context_errno) \
    X(pa_context_get_server_info) \
    X(pa_context_get_sink_info_by_index) \
    X(pa_context_get_sink_info_by_name) \
    X(pa_context_get_source_info_by_name) \
    X(pa_context_get_state) \
    X(pa_context_new_with_proplist) \
    X(pa_context_set_state_callback) \
    X(pa_context_set_subscribe_callback) \
    X(pa_context_subscribe) \
    X(pa_context_unref) \
    X(pa_gettimeofday) \
    X(pa_operation_cancel) \
    X(pa_operation_get_state) \
    X(pa_operation_set_state_callback) \
    X(pa_operation_unref) \
    X(pa_proplist_free) \
    X(pa_proplist_new) \
    X(pa_proplist_sets) \
    X(pa_sample_spec_valid) \
    X(pa_stream_connect_record) \
    X(pa_stream_disconnect) \
    X(pa_stream_drop) \
    X(pa_stream_get_buffer_attr) \
    X(pa_stream_get_state) \
    X(pa_stream_new) \
    X(pa_stream_peek) \
    X(pa_stream_readable_size) \
    X(pa_stream_set_read_callback) \
    X(pa_stream_set_state_callback) \
    X(pa_stream_unref) \
    X(pa_strerror) \
    X(pa_threaded_mainloop_free) \
    X(pa_threaded_mainloop_get_api) \
    X(pa_threaded_mainloop_in_thread) \
    X(pa_threaded_mainloop_lock) \
    X(pa_threaded_mainloop_new) \
    X(pa_threaded_mainloop_set_name) \
    X(pa_threaded_mainloop_signal) \
    X(pa_threaded_mainloop_start) \
    X(pa_threaded_mainloop_stop) \
    X(pa_threaded_mainloop_unlock) \
    X(pa_threaded_mainloop_wait) \
    X(pa_timeval_add) \
    X(pa_usec_to_bytes)
// clang-format on

namespace ovra::pulse {

struct PulseApi {
#define OVRA_PULSE_SLOT(name) decltype(&::name) name = nullptr;
    OVRA_PULSE_FUNCTIONS(OVRA_PULSE_SLOT)
#undef OVRA_PULSE_SLOT
};

// The table, opening libpulse on the first call. Every entry is null when it could not be
// opened: callers check `pulseLoaded` before their first call.
const PulseApi& pulseApi();

// True when libpulse is there. Otherwise writes `prefix` and the reason, which names the
// library, as one log line, so that each capture that fails for it says why.
bool pulseLoaded(const char* prefix);

#define OVRA_PULSE_CALL(name) \
    inline constexpr TableCall<PulseApi, pulseApi, &PulseApi::name, decltype(&::name)> name{};
OVRA_PULSE_FUNCTIONS(OVRA_PULSE_CALL)
#undef OVRA_PULSE_CALL

}  // namespace ovra::pulse
