// Which shared-memory segment is worth keeping for the next grab: one that holds the grab and is
// not much larger. A segment left from a larger display (one 8192x8192 grab maps 256 MB) is let
// go rather than kept for good, so what stays between grabs follows the display as it is now.
#pragma once

#include <cstddef>

namespace ovra::x11 {

inline bool segmentFits(size_t segmentSize, size_t needed) {
    return segmentSize >= needed && segmentSize - needed <= needed / 4;
}

}  // namespace ovra::x11
