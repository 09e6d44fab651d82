// Why a microphone start failed: the error a MicCapture start throws.
#pragma once

#include <string>
#include <utility>

namespace ovra {

struct MicError {
    enum class Case { converterFailed, engineStartFailed, noInputDevice };

    Case kind;
    std::string text;  // `detail` of converterFailed, the platform's text of engineStartFailed

    static MicError converterFailed(std::string detail) {
        return {Case::converterFailed, std::move(detail)};
    }
    static MicError engineStartFailed(std::string text) {
        return {Case::engineStartFailed, std::move(text)};
    }
    static MicError noInputDevice() { return {Case::noInputDevice, {}}; }

    std::string description() const;
};

}  // namespace ovra
