// Simulated audio hardware: a default output device, process taps, aggregate devices with a tap
// stream format each, and I/O procedures whose cycles a test drives (or a pacing thread runs in
// real time) on the queue they were registered with.
//
// Every call is journalled with all its arguments and its result. A failure arranged with
// journal.failNext(name, status) makes the next call of that name return `status` and change
// nothing. Names: the call's own ("createProcessTap", "getPropertyData", ...); a property read
// also answers to "getPropertyData:<selector>" ("getPropertyData:dOut", "getPropertyData:uid",
// "getPropertyData:sfmt"), tried before the plain name.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "platform/AudioHardware.h"
#include "platform/sim/SimJournal.h"

namespace ovra::sim {

class SimAudioHardware : public AudioHardware {
  public:
    explicit SimAudioHardware(SimJournal& journal);
    ~SimAudioHardware() override;

    // --- the HAL
    OSStatus createProcessTap(const TapDescription& description, AudioObjectID* outTap) override;
    OSStatus destroyProcessTap(AudioObjectID tap) override;
    OSStatus getPropertyData(AudioObjectID object, const AudioObjectPropertyAddress& address,
                             uint32_t qualifierSize, const void* qualifier, uint32_t* ioDataSize,
                             void* outData) override;
    OSStatus createAggregateDevice(const PropertyDictionary& description,
                                   AudioObjectID* outDevice) override;
    OSStatus destroyAggregateDevice(AudioObjectID device) override;
    OSStatus createIOProcIDWithBlock(AudioDeviceIOProcID* outProc, AudioObjectID device,
                                     std::shared_ptr<DispatchQueue> queue, IOBlock block) override;
    OSStatus deviceStart(AudioObjectID device, AudioDeviceIOProcID proc) override;
    OSStatus deviceStop(AudioObjectID device, AudioDeviceIOProcID proc) override;
    OSStatus destroyIOProcID(AudioObjectID device, AudioDeviceIOProcID proc) override;
    // Listeners on an aggregate device's 'amst' (its main sub-device). Kept, not journalled: the
    // journal is the hardware calls whose order the behaviour fixes.
    OSStatus addPropertyListenerBlock(AudioObjectID object,
                                      const AudioObjectPropertyAddress& address,
                                      std::shared_ptr<DispatchQueue> queue,
                                      PropertyListenerBlock block) override;
    OSStatus removePropertyListenerBlock(AudioObjectID object,
                                         const AudioObjectPropertyAddress& address) override;

    // --- scripting
    // Makes a new output device with this UID the default one; returns its id.
    AudioObjectID setDefaultOutputDevice(std::string uid);
    // No default output device: the 'dOut' read then yields 0.
    void removeDefaultOutputDevice();
    AudioObjectID defaultOutputDevice() const;
    // The input stream format of aggregate devices created from now on
    // (initially 48 kHz stereo float32 interleaved).
    void setTapFormat(const AudioStreamBasicDescription& format);
    static AudioStreamBasicDescription floatFormat(double rate, uint32_t channels,
                                                   bool interleaved = true);

    // The aggregate device's main sub-device becomes the output device `uid` (as a backend's
    // does when it follows the default output), read back through 'amst'; its listeners are
    // called on their queues. Returns how many were.
    size_t moveMainDevice(AudioObjectID device, std::string uid);
    size_t propertyListenerCount() const;

    // --- what exists now, and what was asked for
    size_t processTapCount() const;
    size_t aggregateDeviceCount() const;
    size_t ioProcCount() const;
    bool isRunning(AudioObjectID device) const;
    // Newest first is last; destroyed ones included.
    std::vector<TapDescription> tapDescriptions() const;
    std::vector<PropertyDictionary> aggregateDescriptions() const;
    // The most recently created aggregate device that still exists, or 0.
    AudioObjectID lastAggregateDevice() const;

    // --- I/O cycles
    // One cycle of `interleaved` samples (frames = size / channels of the device's tap format),
    // laid out in the tap format and posted to the queue of every running I/O procedure of
    // `device`. Returns how many procedures it was posted to.
    size_t deliverCycle(AudioObjectID device, const std::vector<float>& interleaved);
    // A cycle given as raw buffers, each with `channelsPerBuffer` channels, as a driver would.
    size_t deliverRawCycle(AudioObjectID device, std::vector<std::vector<uint8_t>> buffers,
                           uint32_t channelsPerBuffer);
    // Waits until every cycle posted so far has run. Not from a procedure's queue.
    void flush();

    // Devices started from now on run cycles themselves, from their own thread, in real time:
    // `framesPerCycle` frames of a sine at `toneHz` and `amplitude`, until stopped.
    struct Pacing {
        uint32_t framesPerCycle = 480;
        double toneHz = 1000.0;
        float amplitude = 0.5f;
    };
    void setPacing(std::optional<Pacing> pacing);

  private:
    struct ProcState;
    struct Pacer;
    struct Cycle;
    struct Proc {
        AudioObjectID device;
        std::shared_ptr<DispatchQueue> queue;
        std::shared_ptr<ProcState> state;
        std::unique_ptr<Pacer> pacer;
        bool running = false;
    };
    struct Aggregate {
        PropertyDictionary description;
        std::string uid;
        AudioStreamBasicDescription format;
        std::string mainDevice;  // "master" until moved
    };
    struct Listener {
        AudioObjectID object;
        std::shared_ptr<DispatchQueue> queue;
        PropertyListenerBlock block;
    };

    std::optional<OSStatus> failure(const std::string& call);
    AudioObjectID newObjectID();  // with mutex_ held
    static void runCycle(const std::shared_ptr<ProcState>& state,
                         const std::shared_ptr<Cycle>& cycle);
    size_t post(AudioObjectID device, const std::shared_ptr<Cycle>& cycle);
    void startPacer(Proc& proc);  // with mutex_ held
    static std::shared_ptr<Cycle> toneCycle(const AudioStreamBasicDescription& format,
                                            uint32_t frames, uint64_t firstFrame,
                                            const Pacing& pacing);
    static std::shared_ptr<Cycle> makeCycle(const AudioStreamBasicDescription& format,
                                            const std::vector<float>& interleaved);

    SimJournal& journal_;
    mutable std::mutex mutex_;
    AudioObjectID nextID_ = 100;
    uintptr_t nextProc_ = 1;
    AudioObjectID defaultOutput_ = 0;
    std::map<AudioObjectID, std::string> outputDevices_;  // id -> UID
    std::map<AudioObjectID, TapDescription> taps_;
    std::map<AudioObjectID, Aggregate> aggregates_;
    std::map<AudioDeviceIOProcID, Proc> procs_;
    std::map<uint64_t, Listener> listeners_;
    uint64_t nextListener_ = 1;
    std::vector<TapDescription> tapHistory_;
    std::vector<PropertyDictionary> aggregateHistory_;
    AudioStreamBasicDescription tapFormat_;
    std::optional<Pacing> pacing_;
};

// The text of a property value as the journal writes it: {"key": value, ...}, [a, b], "text",
// true, false.
std::string describe(const PropertyValue& value);
std::string describe(const PropertyDictionary& dictionary);

}  // namespace ovra::sim
