// Gives the encoded screenshot to the host as Base64 text in a block from the C heap.
#pragma once

#include <cstdint>

namespace ovra {

class MutableData;

// 0 with the block and its length stored through outBuf/outLen; 1, with a line written and
// nothing stored, when the text's length cannot be reported in 32 bits or no block can be had.
int32_t handOverAsBase64(const MutableData& jpeg, uint8_t** outBuf, int32_t* outLen);

}  // namespace ovra
