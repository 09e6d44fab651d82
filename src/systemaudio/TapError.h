// Why a system-audio start failed.
#pragma once

#include <string>

#include "platform/AudioTypes.h"

namespace ovra {

struct TapError {
    enum class Case {
        tapCreationFailed,
        aggregateCreationFailed,
        formatReadFailed,
        ioProcFailed,
        startFailed,
        invalidFormat,
        converterFailed,
    };

    Case kind;
    OSStatus status = 0;  // the failing call's status, for the first five cases

    static TapError tapCreationFailed(OSStatus s) { return {Case::tapCreationFailed, s}; }
    static TapError aggregateCreationFailed(OSStatus s) {
        return {Case::aggregateCreationFailed, s};
    }
    static TapError formatReadFailed(OSStatus s) { return {Case::formatReadFailed, s}; }
    static TapError ioProcFailed(OSStatus s) { return {Case::ioProcFailed, s}; }
    static TapError startFailed(OSStatus s) { return {Case::startFailed, s}; }
    static TapError invalidFormat() { return {Case::invalidFormat, 0}; }
    static TapError converterFailed() { return {Case::converterFailed, 0}; }

    std::string description() const;
};

}  // namespace ovra
