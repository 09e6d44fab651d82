#include "platform/graphics/MutableData.h"

#include <cstdlib>
#include <cstring>
#include <new>

namespace ovra {

namespace {
void releaseHeapBlock(uint8_t* block, size_t) {
    std::free(block);
}
}  // namespace

MutableData::~MutableData() {
    reset();
}

void MutableData::reset() {
    if (bytes_ && release_) release_(bytes_, capacity_);
    bytes_ = nullptr;
    length_ = capacity_ = 0;
    release_ = nullptr;
}

void MutableData::append(const uint8_t* bytes, size_t length) {
    if (length == 0) return;
    if (length > SIZE_MAX - length_) throw std::bad_alloc();
    const size_t needed = length_ + length;
    if (release_ != releaseHeapBlock || needed > capacity_) {
        const size_t capacity = needed < SIZE_MAX / 2 ? needed * 2 : needed;
        auto* grown = static_cast<uint8_t*>(std::malloc(capacity));
        if (!grown) throw std::bad_alloc();
        if (length_) std::memcpy(grown, bytes_, length_);
        const size_t kept = length_;
        reset();
        bytes_ = grown;
        length_ = kept;
        capacity_ = capacity;
        release_ = releaseHeapBlock;
    }
    std::memcpy(bytes_ + length_, bytes, length);
    length_ = needed;
}

void MutableData::adopt(uint8_t* block, size_t length, Release release) {
    reset();
    bytes_ = block;
    length_ = capacity_ = length;
    release_ = release;
}

}  // namespace ovra
