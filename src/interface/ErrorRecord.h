// The description of the last failed microphone start, guarded by errorLock.
#pragma once

#include <string>
#include <string_view>

namespace ovra {

// Replaces the whole text; nothing ever clears it.
void setLastMicErrorDescription(std::string text);
std::string lastMicErrorDescription();

// Whether `text` is well-formed UTF-8.
bool isValidUtf8(std::string_view text);

}  // namespace ovra
