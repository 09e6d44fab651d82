// A record stream on one named source, feeding a tap delivery.
//
// 32-bit float at the rate asked for, in the source's own channels: the main loop mixes them to
// mono here, as their mean, so a signal on every channel keeps its level whatever the server
// (PipeWire sums channels at 0.707 each when asked for mono, PulseAudio averages). The fragment
// size is explicit (about 20 ms) with latency adjustment, since the server's default delivers in
// lumps of seconds; the stream never moves to another source, so losing this one ends it and the
// engine can report the change.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "platform/pulse/PulseConnection.h"
#include "platform/pulse/PulseTapDelivery.h"

namespace ovra::pulse {

class PulseRecordStream {
  public:
    static constexpr double kFragmentSeconds = 0.020;

    // Connects and waits until the stream runs. On failure returns nullptr with the server's
    // error text in `error`. `onLost` runs on the main-loop thread (under its rules) if the
    // stream later fails or ends without being closed here.
    static std::unique_ptr<PulseRecordStream> open(PulseConnection& connection,
                                                   const std::string& source,
                                                   const pa_channel_map& channels, uint32_t rate,
                                                   std::shared_ptr<PulseTapDelivery> delivery,
                                                   std::function<void()> onLost,
                                                   std::string* error);
    // Clears the callbacks and disconnects, under the main-loop lock: no read is pushed to the
    // delivery after this.
    ~PulseRecordStream();
    PulseRecordStream(const PulseRecordStream&) = delete;
    PulseRecordStream& operator=(const PulseRecordStream&) = delete;

    PulseRecordStream(PulseConnection& connection, std::shared_ptr<PulseTapDelivery> delivery,
                      std::function<void()> onLost);  // use open()

  private:
    static void onState(pa_stream* stream, void* self);
    static void onRead(pa_stream* stream, size_t bytes, void* self);
    void close();
    // Mixes `count` frames of the stream's channels to mono and hands them on.
    void pushMono(const float* frames, size_t count);

    PulseConnection& connection_;
    std::shared_ptr<PulseTapDelivery> delivery_;
    std::function<void()> onLost_;
    pa_stream* stream_ = nullptr;
    size_t channels_ = 1;
    std::vector<float> mono_;   // the main loop's mix-down buffer, sized once
    bool established_ = false;  // under the main-loop lock
};

}  // namespace ovra::pulse
