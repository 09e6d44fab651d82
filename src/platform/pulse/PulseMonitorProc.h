// The I/O procedure of an aggregate device: a record stream on its main sink's monitor source,
// whose reads reach the I/O block on the session's serial queue.
//
// The main loop only copies each read into a ring (a hole in the stream as silence of the same
// length, so no time is lost) and, unless a delivery is already pending, queues one. The delivery
// hands what the ring holds to the block in cycles of one fragment (more, up to 100 ms, while a
// backlog is caught up), as one interleaved float buffer list that lives as long as this object:
// nothing is allocated per cycle. What the ring cannot take while the queue is held up (about two
// seconds' worth) is dropped and shows as a jump in the cycles' sample time.
//
// The stream follows the server's default sink: when the default changes, when the sink in use
// disappears, and when the server comes back after it went away, a stream on the then-default
// sink's monitor is opened in the format of the first (the server converts), and replaces the old
// one once it records. `onMoved` then runs, on the main-loop thread, with the new sink's name.
// All of this happens in libpulse callbacks; no thread waits for it.
//
// A monitor replays what its sink renders, when it renders it. A sink that was rendering far
// ahead when the stream connected (a null sink fed by a high-latency player renders up to 2 s at
// once) sends the first read only once it renders again: what it had rendered before is not
// replayed.
#pragma once

#include <pulse/pulseaudio.h>

#include <atomic>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/AudioHardware.h"
#include "platform/pulse/FloatRing.h"
#include "platform/pulse/PulseConnection.h"

namespace ovra::pulse {

struct MonitorFormat {
    std::string source;  // the monitor source's name
    uint32_t rate = 0;
    pa_channel_map channelMap{};
    std::string sink;  // the sink it monitors
    uint32_t sinkIndex = PA_INVALID_INDEX;
};

class PulseMonitorProc {
  public:
    // About 10 ms per read: the server's default would deliver in lumps of seconds.
    static constexpr pa_usec_t kFragmentUsec = 10'000;

    // Throws std::bad_alloc.
    using MovedCallback = std::function<void(const std::string& sink)>;
    PulseMonitorProc(PulseConnection& connection, MonitorFormat format,
                     std::shared_ptr<DispatchQueue> queue, AudioHardware::IOBlock block,
                     MovedCallback onMoved = nullptr);
    ~PulseMonitorProc();  // as `retire`
    PulseMonitorProc(const PulseMonitorProc&) = delete;
    PulseMonitorProc& operator=(const PulseMonitorProc&) = delete;

    // Connects the record stream and waits until it records. noErr when it does (or already
    // did); kAudioHardwareNotRunningError when no server answers; kAudioHardwareBadDeviceError
    // when the server refuses the stream (the sink is gone).
    OSStatus start();
    // Disconnects the stream under the main-loop lock, its callbacks cleared first: no read is
    // queued after this returns. Deliveries already queued still run.
    void stop();
    // Stops, and no call of the block begins after this returns; queued deliveries are drained
    // (not when called on the queue, which cannot wait for itself: then the call in progress is
    // the last). Drop the object only from a thread where nothing of it still runs: see
    // `release`.
    void retire();
    // Retires `proc` and lets it go: at once, or on its queue after the delivery in progress
    // when called from inside the block.
    static void release(std::shared_ptr<PulseMonitorProc> proc);

  private:
    struct Candidate {
        std::string sink;
        uint32_t sinkIndex = PA_INVALID_INDEX;
        std::string monitor;
    };

    static void onState(pa_stream* stream, void* self);
    static void onRead(pa_stream* stream, size_t bytes, void* self);
    void closeStream();
    void deliver();
    pa_stream* openStream(pa_context* context, const std::string& source);
    void adoptFragmentSize();

    // Following the default sink (PulseMonitorFollow.cpp); on the main loop unless noted.
    void follow();    // under the lock, from start()
    void unfollow();  // not under the lock
    void onEvent(pa_subscription_event_type_t event, uint32_t index);
    void retarget();
    static void onDefaultSink(pa_context* context, const pa_sink_info* info, int eol, void* self);
    void onPendingState(pa_stream* stream);
    void onCurrentLost();
    static void close(pa_stream*& stream);

    PulseConnection& connection_;
    const MonitorFormat format_;
    const std::shared_ptr<DispatchQueue> queue_;
    const AudioHardware::IOBlock block_;
    const MovedCallback onMoved_;
    const size_t channels_;

    // Under the main-loop lock.
    pa_stream* stream_ = nullptr;   // the stream in use
    pa_stream* pending_ = nullptr;  // its replacement, until it records
    pa_operation* query_ = nullptr;
    bool queryAgain_ = false;             // a change came while the query ran: the last change wins
    std::optional<Candidate> found_;      // the default sink, as the query in progress found it
    std::optional<Candidate> candidate_;  // what the pending stream records
    std::string sink_;
    uint32_t sinkIndex_ = PA_INVALID_INDEX;
    bool following_ = false;
    uint64_t listener_ = 0;
    FloatRing ring_;
    std::atomic<bool> deliveryQueued_{false};
    std::atomic<bool> retired_{false};
    std::atomic<size_t> samplesPerCycle_;  // one fragment as the server granted it

    // The delivery's own: one buffer list over a buffer sized once.
    std::vector<float> samples_;
    AudioBuffer buffer_{};
    AudioBufferList list_{};
    AudioBufferList noOutput_{};
    double sampleTime_ = 0;
    std::atomic<uint64_t> droppedFrames_{0};  // written by the main loop
    uint64_t droppedSeen_ = 0;
};

}  // namespace ovra::pulse
