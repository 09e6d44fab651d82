// Audio hardware over libpulse: what the system plays, taken from a sink's monitor.
//
// The mapping:
//  - Object ids. 1 is the system object. A sink with the server's index i has the id
//    kSinkObjectBase + i. Process taps and aggregate devices get ids of their own, counted from
//    kFirstOwnObject and never reused. An I/O procedure handle is a counter value, never an
//    address, so a stale handle names nothing.
//  - Property reads. The system object answers 'dOut' (data size 4) with the id of the default
//    sink, or 0 when the server has none. A sink answers 'uid ' (data size 8, a StringRef) with
//    its name. An aggregate device answers 'sfmt' on the input scope (data size 40) with its
//    main sink's rate and channel count as 32-bit float, packed, interleaved, native byte order;
//    and 'uid ' with its own "uid". A tap answers 'uid ' with its UUID's text. Any other
//    property gives 'who?', a data size too small '!siz', an unknown object '!obj'.
//  - A process tap is the mix of everything playing on the sink that the aggregate device
//    carrying it names as "master". Only what a monitor can give is accepted: every process,
//    none left out, not muted (stereoGlobalTapButExcludeProcesses with an empty list and mute
//    behaviour 0); anything else gives 'nope'.
//  - An aggregate device description needs "master" (a sink's name) and at least one entry in
//    "taps" (each "uid" the UUID text of a tap made here), else -50. A "master" or sub-device
//    "uid" that names no sink gives '!dev', a tap uid that names no tap '!obj'. The sink is
//    looked up when the device is made; later reads and the stream use what was found then.
//    "private", "stacked", "tapautostart" and "drift" need nothing here: the device exists in this
//    process only, runs its tap whenever it runs, and has a single clock (the sink's).
//  - The I/O procedure is a PulseMonitorProc: a record stream on the main sink's monitor,
//    connected at deviceStart and disconnected at deviceStop; destroyIOProcID drains the queue.
//    Destroying an aggregate device destroys the procedures still registered on it.
//  - An aggregate device also answers 'amst' (data size 8, a StringRef) with the name of the sink
//    its procedure records now: the procedure follows the server's default sink (see
//    PulseMonitorProc), and a listener on 'amst' is called on its queue after each move.
//  - Every call that needs the server (making a tap or an aggregate device, reading 'dOut' or a
//    sink's 'uid ', deviceStart) connects first, or reconnects after the server went away, and
//    gives 'stop' when no server answers. Nothing waits longer than the connection's timeout.
//  - Null out-pointers, a null block or queue give -50.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/AudioHardware.h"
#include "platform/pulse/PulseConnection.h"
#include "platform/pulse/PulseMonitorProc.h"

namespace ovra::pulse {

constexpr AudioObjectID kSinkObjectBase = 0x0100'0000;
constexpr AudioObjectID kFirstOwnObject = 0x100;

class PulseAudioHardware : public AudioHardware {
  public:
    explicit PulseAudioHardware(PulseConnection& connection);
    ~PulseAudioHardware() override;

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
    OSStatus addPropertyListenerBlock(AudioObjectID object,
                                      const AudioObjectPropertyAddress& address,
                                      std::shared_ptr<DispatchQueue> queue,
                                      PropertyListenerBlock block) override;
    OSStatus removePropertyListenerBlock(AudioObjectID object,
                                         const AudioObjectPropertyAddress& address) override;

  private:
    struct Tap {
        std::string uuid;
    };
    struct Aggregate {
        std::string uid;
        MonitorFormat monitor;
        std::string mainSink;  // the sink recorded now
    };
    struct Listener {
        AudioObjectID object;
        AudioObjectPropertyAddress address;
        std::shared_ptr<DispatchQueue> queue;
        PropertyListenerBlock block;
    };
    struct Proc {
        AudioObjectID device;
        std::shared_ptr<PulseMonitorProc> proc;
    };

    OSStatus readSystemProperty(const AudioObjectPropertyAddress& address, uint32_t* ioDataSize,
                                void* outData);
    OSStatus readSinkProperty(AudioObjectID sink, const AudioObjectPropertyAddress& address,
                              uint32_t* ioDataSize, void* outData);
    // Reads of taps and aggregate devices, answered from what was recorded when they were made.
    OSStatus readOwnProperty(AudioObjectID object, const AudioObjectPropertyAddress& address,
                             uint32_t* ioDataSize, void* outData);
    std::shared_ptr<PulseMonitorProc> findProc(AudioObjectID device, AudioDeviceIOProcID proc);
    // On the main loop: a procedure of `device` moved to `sink`.
    void mainSinkMoved(AudioObjectID device, const std::string& sink);
    void runListener(uint64_t token);

    PulseConnection& connection_;
    std::mutex mutex_;  // guards the tables below; never held while waiting on the server
    AudioObjectID nextObject_ = kFirstOwnObject;
    uintptr_t nextProc_ = 1;
    std::map<AudioObjectID, Tap> taps_;
    std::map<AudioObjectID, Aggregate> aggregates_;
    std::map<AudioDeviceIOProcID, Proc> procs_;
    uint64_t nextListener_ = 1;
    std::map<uint64_t, Listener> listeners_;
};

}  // namespace ovra::pulse
