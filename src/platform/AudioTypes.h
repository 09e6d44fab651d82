// Plain audio records shared by the core and every backend, in the shape of Core Audio's.
#pragma once

#include <cstdint>
#include <string>

namespace ovra {

using OSStatus = int32_t;
using AudioObjectID = uint32_t;
using AudioDeviceIOProcID = void*;  // opaque handle; nullptr means none

constexpr OSStatus noErr = 0;
constexpr AudioObjectID kAudioObjectSystemObject = 1;
constexpr AudioObjectID kAudioObjectUnknown = 0;

// Four-character codes as Core Audio spells them ('dOut' == fourCC("dOut")).
constexpr uint32_t fourCC(const char (&s)[5]) {
    return (uint32_t(uint8_t(s[0])) << 24) | (uint32_t(uint8_t(s[1])) << 16) |
           (uint32_t(uint8_t(s[2])) << 8) | uint32_t(uint8_t(s[3]));
}

constexpr uint32_t kAudioHardwarePropertyDefaultOutputDevice = fourCC("dOut");
constexpr uint32_t kAudioDevicePropertyDeviceUID = fourCC("uid ");
constexpr uint32_t kAudioDevicePropertyStreamFormat = fourCC("sfmt");
constexpr uint32_t kAudioAggregateDevicePropertyMainSubDevice = fourCC("amst");
constexpr uint32_t kAudioObjectPropertyScopeGlobal = fourCC("glob");
constexpr uint32_t kAudioObjectPropertyScopeInput = fourCC("inpt");
constexpr uint32_t kAudioObjectPropertyElementMain = 0;

// Statuses of Core Audio's kind, used by backends for their own failures.
constexpr OSStatus kAudioHardwareUnspecifiedError = OSStatus(fourCC("what"));
constexpr OSStatus kAudioHardwareUnknownPropertyError = OSStatus(fourCC("who?"));
constexpr OSStatus kAudioHardwareBadObjectError = OSStatus(fourCC("!obj"));
constexpr OSStatus kAudioHardwareBadDeviceError = OSStatus(fourCC("!dev"));
constexpr OSStatus kAudioHardwareIllegalOperationError = OSStatus(fourCC("nope"));
constexpr OSStatus kAudioHardwareNotRunningError = OSStatus(fourCC("stop"));
constexpr OSStatus kAudioHardwareBadPropertySizeError = OSStatus(fourCC("!siz"));
constexpr OSStatus kAudio_ParamError = -50;

struct AudioObjectPropertyAddress {
    uint32_t mSelector;
    uint32_t mScope;
    uint32_t mElement;
};

constexpr uint32_t kAudioFormatLinearPCM = fourCC("lpcm");
constexpr uint32_t kAudioFormatFlagIsFloat = 1u << 0;
constexpr uint32_t kAudioFormatFlagIsBigEndian = 1u << 1;
constexpr uint32_t kAudioFormatFlagIsSignedInteger = 1u << 2;
constexpr uint32_t kAudioFormatFlagIsPacked = 1u << 3;
constexpr uint32_t kAudioFormatFlagIsNonInterleaved = 1u << 5;

// The 40-byte description of a linear audio format.
struct AudioStreamBasicDescription {
    double mSampleRate;
    uint32_t mFormatID;
    uint32_t mFormatFlags;
    uint32_t mBytesPerPacket;
    uint32_t mFramesPerPacket;
    uint32_t mBytesPerFrame;
    uint32_t mChannelsPerFrame;
    uint32_t mBitsPerChannel;
    uint32_t mReserved;
};
static_assert(sizeof(AudioStreamBasicDescription) == 40);

struct AudioBuffer {
    uint32_t mNumberChannels;
    uint32_t mDataByteSize;
    void* mData;
};

// One buffer for interleaved audio, one per channel otherwise. The buffers are not owned.
struct AudioBufferList {
    uint32_t mNumberBuffers;
    AudioBuffer* mBuffers;
};

struct AudioTimeStamp {
    double mSampleTime;
    uint64_t mHostTime;
};

}  // namespace ovra
