// What the shared-memory pixel formats of wl_shm are in this library's terms.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

#include "platform/graphics/Image.h"

namespace ovra::wayland {

// The byte layout of a wl_shm format that is read as it stands (8 bits per channel), or nothing.
std::optional<PixelFormat> pixelFormatForShm(uint32_t shmFormat);

// A line's worth on why none of `offered` can be read ("10-bit XRGB2101010 is not read").
std::string describeUnreadableShm(uint32_t shmFormat);

// Turns a picture that arrived upside down the right way up, in place.
void flipRows(uint8_t* pixels, size_t bytesPerRow, size_t height);

}  // namespace ovra::wayland
