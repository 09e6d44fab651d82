#include "platform/graphics/JpegEncoder.h"

// libjpeg-turbo through its libjpeg interface: TurboJPEG 2.1's own interface cannot ask for
// optimised Huffman tables, which make a screenshot's file about a quarter smaller (screens have
// large flat areas that the standard tables code poorly) at the same quality.
#include <jpeglib.h>
// After jpeglib.h, which it needs.
#include <jerror.h>

#include <algorithm>
#include <climits>
#include <cmath>
#include <csetjmp>
#include <cstdlib>

namespace ovra {

namespace {

struct ErrorManager {
    jpeg_error_mgr base;
    std::jmp_buf jump;
};

// libjpeg's default handler ends the process; ours returns to the encoder, which fails.
[[noreturn]] void onError(j_common_ptr info) {
    std::longjmp(reinterpret_cast<ErrorManager*>(info->err)->jump, 1);
}
void onMessage(j_common_ptr) {}

bool packedColorSpace(PixelFormat format, J_COLOR_SPACE* space, int* components) {
    switch (format) {
        case PixelFormat::rgbx:
            *space = JCS_EXT_RGBX, *components = 4;
            return true;
        case PixelFormat::bgrx:
            *space = JCS_EXT_BGRX, *components = 4;
            return true;
        case PixelFormat::xrgb:
            *space = JCS_EXT_XRGB, *components = 4;
            return true;
        case PixelFormat::xbgr:
            *space = JCS_EXT_XBGR, *components = 4;
            return true;
        case PixelFormat::rgb:
            *space = JCS_EXT_RGB, *components = 3;
            return true;
        case PixelFormat::bgr:
            *space = JCS_EXT_BGR, *components = 3;
            return true;
        case PixelFormat::yuv420:
            break;
    }
    return false;
}

// Feeds 4:2:0 planes to the compressor as they are, one band of 16 luma rows at a time; the last
// band repeats the image's last row where the planes end.
void writePlanes(jpeg_compress_struct& c, const Image& image) {
    JSAMPROW y[16], cb[8], cr[8];
    JSAMPARRAY bands[3] = {y, cb, cr};
    const size_t chromaRows = (image.height() + 1) / 2;
    while (c.next_scanline < c.image_height) {
        const size_t top = c.next_scanline;
        for (size_t i = 0; i < 16; ++i) {
            const size_t row = std::min(top + i, image.height() - 1);
            y[i] = const_cast<JSAMPROW>(image.plane(0).data + row * image.plane(0).bytesPerRow);
        }
        for (size_t i = 0; i < 8; ++i) {
            const size_t row = std::min(top / 2 + i, chromaRows - 1);
            cb[i] = const_cast<JSAMPROW>(image.plane(1).data + row * image.plane(1).bytesPerRow);
            cr[i] = const_cast<JSAMPROW>(image.plane(2).data + row * image.plane(2).bytesPerRow);
        }
        jpeg_write_raw_data(&c, bands, 16);
    }
}

void writeRows(jpeg_compress_struct& c, const Image& image) {
    while (c.next_scanline < c.image_height) {
        JSAMPROW row = const_cast<JSAMPROW>(image.plane(0).data +
                                            size_t(c.next_scanline) * image.plane(0).bytesPerRow);
        jpeg_write_scanlines(&c, &row, 1);
    }
}

void releaseEncoderBlock(uint8_t* block, size_t) {
    std::free(block);
}

// The file grows in one C-heap block that `block` names at every moment, error or not.
// libjpeg's own memory destination frees its old block when it grows and tells the caller of
// the new one only at the end, so after an error the caller holds a freed pointer (and the live
// block leaks).
struct BlockDestination {
    jpeg_destination_mgr base{};
    size_t limit = 0;
    uint8_t* block = nullptr;
    size_t capacity = 0;
    size_t length = 0;
};

constexpr size_t kFirstBlock = 64 * 1024;

BlockDestination& destinationOf(j_compress_ptr c) {
    return *reinterpret_cast<BlockDestination*>(c->dest);
}

void startBlock(j_compress_ptr c) {
    BlockDestination& d = destinationOf(c);
    d.capacity = std::min(kFirstBlock, d.limit);
    d.block = static_cast<uint8_t*>(std::malloc(d.capacity));
    if (!d.block) ERREXIT1(c, JERR_OUT_OF_MEMORY, 0);
    d.base.next_output_byte = d.block;
    d.base.free_in_buffer = d.capacity;
}

// Called with the block full: doubles it, up to the limit.
boolean growBlock(j_compress_ptr c) {
    BlockDestination& d = destinationOf(c);
    if (d.capacity >= d.limit) ERREXIT1(c, JERR_OUT_OF_MEMORY, 1);
    const size_t capacity = d.capacity > d.limit / 2 ? d.limit : d.capacity * 2;
    auto* grown = static_cast<uint8_t*>(std::realloc(d.block, capacity));
    if (!grown) ERREXIT1(c, JERR_OUT_OF_MEMORY, 2);  // the old block stays ours
    d.block = grown;
    d.base.next_output_byte = grown + d.capacity;
    d.base.free_in_buffer = capacity - d.capacity;
    d.capacity = capacity;
    return TRUE;
}

void endBlock(j_compress_ptr c) {
    BlockDestination& d = destinationOf(c);
    d.length = d.capacity - d.base.free_in_buffer;
}

// Only trivially destructible objects live in this frame, and nothing that changes after the
// setjmp is read after the jump: a libjpeg error jumps back into it. `destination` lives in the
// caller's frame.
bool compress(const Image& image, int quality, BlockDestination* destination) {
    jpeg_compress_struct c;
    ErrorManager errors;
    c.err = jpeg_std_error(&errors.base);
    errors.base.error_exit = onError;
    errors.base.output_message = onMessage;
    if (setjmp(errors.jump)) {
        jpeg_destroy_compress(&c);
        return false;
    }
    jpeg_create_compress(&c);
    destination->base.init_destination = startBlock;
    destination->base.empty_output_buffer = growBlock;
    destination->base.term_destination = endBlock;
    c.dest = &destination->base;
    c.image_width = JDIMENSION(image.width());
    c.image_height = JDIMENSION(image.height());
    const bool planar = image.pixelFormat() == PixelFormat::yuv420;
    if (planar) {
        c.in_color_space = JCS_YCbCr;
        c.input_components = 3;
    } else if (!packedColorSpace(image.pixelFormat(), &c.in_color_space, &c.input_components)) {
        jpeg_destroy_compress(&c);
        return false;
    }
    jpeg_set_defaults(&c);
    jpeg_set_quality(&c, quality, TRUE);
    c.optimize_coding = TRUE;
    // 4:2:0: chroma at half the resolution both ways, as the planes already hold it.
    c.comp_info[0].h_samp_factor = c.comp_info[0].v_samp_factor = 2;
    for (int i = 1; i < 3; ++i) c.comp_info[i].h_samp_factor = c.comp_info[i].v_samp_factor = 1;
    c.raw_data_in = planar ? TRUE : FALSE;
    jpeg_start_compress(&c, TRUE);
    if (planar)
        writePlanes(c, image);
    else
        writeRows(c, image);
    jpeg_finish_compress(&c);
    jpeg_destroy_compress(&c);
    return true;
}

}  // namespace

int jpegQualityFor(double q) {
    if (!std::isfinite(q)) return 75;
    return std::max(1, int(std::lround(std::clamp(q, 0.0, 1.0) * 100.0)));
}

bool encodeJpeg(const Image& image, int quality, MutableData& out, size_t maxBytes) {
    // JPEG holds at most 65500 pixels either way.
    if (image.width() == 0 || image.height() == 0 || image.width() > 65500 ||
        image.height() > 65500 || maxBytes == 0)
        return false;
    BlockDestination destination;
    destination.limit = maxBytes;
    if (!compress(image, quality, &destination)) {
        std::free(destination.block);
        return false;
    }
    out.adopt(destination.block, destination.length, releaseEncoderBlock);
    return true;
}

}  // namespace ovra
