// Standard Base64 (RFC 4648 alphabet, '=' padding, one unbroken line). Written here rather than
// taken from a library because it is a dozen lines and writes straight into the block the host
// receives, where a library would hand back a string to copy once more.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>

namespace ovra {

// Characters needed for `bytes` input bytes; nothing when that count does not fit in size_t.
std::optional<size_t> base64Length(size_t bytes);

// Writes exactly base64Length(length) characters to `out`; no terminator.
void base64Encode(const uint8_t* in, size_t length, uint8_t* out);

}  // namespace ovra
