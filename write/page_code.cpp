#include "write/page_code.hpp"

#include <tiffio.h>
#include <zlib.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace qpbm {

Encoded::~Encoded() { std::free(data_); }

std::uint8_t* Encoded::reserve(std::size_t count) {
    if (count > SIZE_MAX - size_) return nullptr;
    if (size_ + count <= capacity_) return data_ + size_;
    std::size_t capacity = std::max<std::size_t>(capacity_ + capacity_ / 2, 4096);
    if (capacity < size_ + count) capacity = size_ + count;
    auto* grown = static_cast<std::uint8_t*>(std::realloc(data_, capacity));
    if (grown == nullptr) return nullptr;
    data_ = grown;
    capacity_ = capacity;
    return data_ + size_;
}

bool Encoded::append(const void* bytes, std::size_t count) {
    std::uint8_t* at = reserve(count);
    if (at == nullptr) return false;
    if (count > 0) std::memcpy(at, bytes, count);
    size_ += count;
    return true;
}

void Encoded::swap(Encoded& other) {
    std::swap(data_, other.data_);
    std::swap(size_, other.size_);
    std::swap(capacity_, other.capacity_);
}

namespace {

// ---- libtiff's G4 codec on a TIFF in memory -----------------------------------

struct MemoryTiff {
    Encoded bytes;
    std::uint64_t at = 0;
};

MemoryTiff& memory_of(thandle_t h) { return *static_cast<MemoryTiff*>(h); }

tmsize_t memory_read(thandle_t h, void* buffer, tmsize_t size) {
    MemoryTiff& m = memory_of(h);
    if (size < 0 || m.at >= m.bytes.size()) return 0;
    const std::size_t n = std::min<std::size_t>(static_cast<std::size_t>(size), m.bytes.size() - m.at);
    std::memcpy(buffer, m.bytes.data() + m.at, n);
    m.at += n;
    return static_cast<tmsize_t>(n);
}

tmsize_t memory_write(thandle_t h, void* buffer, tmsize_t size) {
    MemoryTiff& m = memory_of(h);
    if (size < 0) return 0;
    const auto n = static_cast<std::size_t>(size);
    if (m.at > m.bytes.size()) {  // a seek past the end: zeros up to it
        const std::size_t gap = static_cast<std::size_t>(m.at) - m.bytes.size();
        std::uint8_t* z = m.bytes.reserve(gap);
        if (z == nullptr) return 0;
        std::memset(z, 0, gap);
        m.bytes.grow(gap);
    }
    // Over what is there (libtiff rewrites its header), then past the end.
    const std::size_t overlap = std::min<std::size_t>(n, m.bytes.size() - m.at);
    if (overlap > 0) std::memcpy(m.bytes.data() + m.at, buffer, overlap);
    if (!m.bytes.append(static_cast<const std::uint8_t*>(buffer) + overlap, n - overlap)) return 0;
    m.at += n;
    return size;
}

toff_t memory_seek(thandle_t h, toff_t offset, int whence) {
    MemoryTiff& m = memory_of(h);
    std::uint64_t base = whence == SEEK_CUR ? m.at : whence == SEEK_END ? m.bytes.size() : 0;
    if (offset > UINT32_MAX) return static_cast<toff_t>(-1);  // a classic TIFF, and a page of bits, are smaller
    m.at = base + offset;
    return m.at;
}

int memory_close(thandle_t) { return 0; }
toff_t memory_size(thandle_t h) { return memory_of(h).bytes.size(); }
int memory_map(thandle_t, void**, toff_t*) { return 0; }
void memory_unmap(thandle_t, void*, toff_t) {}

int keep_error(TIFF*, void* user, const char*, const char* format, va_list args) {
    TiffMessage& m = *static_cast<TiffMessage*>(user);
    std::vsnprintf(m.text, sizeof m.text, format, args);
    return 1;
}

int ignore_warning(TIFF*, void*, const char*, const char*, va_list) { return 1; }

}  // namespace

bool encode_g4(const PageBits& page, Encoded& out, TiffMessage& message) {
    out.clear();
    MemoryTiff memory;
    TIFFOpenOptions* options = TIFFOpenOptionsAlloc();
    if (options == nullptr) return false;
    TIFFOpenOptionsSetErrorHandlerExtR(options, keep_error, &message);
    TIFFOpenOptionsSetWarningHandlerExtR(options, ignore_warning, nullptr);
    TIFF* tif = TIFFClientOpenExt("G4", "w", &memory, memory_read, memory_write, memory_seek, memory_close, memory_size,
                                  memory_map, memory_unmap, options);
    TIFFOpenOptionsFree(options);
    if (tif == nullptr) return false;
    const std::size_t bytes = page.row_bytes() * page.height;
    bool done = TIFFSetField(tif, TIFFTAG_IMAGEWIDTH, page.width) &&
                TIFFSetField(tif, TIFFTAG_IMAGELENGTH, page.height) && TIFFSetField(tif, TIFFTAG_BITSPERSAMPLE, 1) &&
                TIFFSetField(tif, TIFFTAG_SAMPLESPERPIXEL, 1) &&
                TIFFSetField(tif, TIFFTAG_PHOTOMETRIC, PHOTOMETRIC_MINISWHITE) &&
                TIFFSetField(tif, TIFFTAG_FILLORDER, FILLORDER_MSB2LSB) &&
                TIFFSetField(tif, TIFFTAG_COMPRESSION, COMPRESSION_CCITTFAX4) &&
                TIFFSetField(tif, TIFFTAG_ROWSPERSTRIP, page.height) &&
                TIFFWriteEncodedStrip(tif, 0, const_cast<std::uint8_t*>(page.bits), static_cast<tmsize_t>(bytes)) >= 0;
    // The strip went to the end of what was written; the directory, which
    // would come next, is never written.
    std::uint64_t* offsets = nullptr;
    std::uint64_t* counts = nullptr;
    done = done && TIFFGetField(tif, TIFFTAG_STRIPOFFSETS, &offsets) &&
           TIFFGetField(tif, TIFFTAG_STRIPBYTECOUNTS, &counts) && offsets != nullptr && counts != nullptr &&
           offsets[0] <= memory.bytes.size() && counts[0] <= memory.bytes.size() - offsets[0] &&
           out.append(memory.bytes.data() + offsets[0], static_cast<std::size_t>(counts[0]));
    TIFFClose(tif);
    return done;
}

bool encode_deflate(const PageBits& page, Encoded& out) {
    out.clear();
    z_stream z{};
    if (deflateInit(&z, Z_DEFAULT_COMPRESSION) != Z_OK) return false;
    std::size_t left = page.row_bytes() * page.height;
    const std::uint8_t* next = page.bits;
    int result = Z_OK;
    while (result == Z_OK) {
        const uInt in = static_cast<uInt>(std::min<std::size_t>(left, 1u << 30));
        z.next_in = const_cast<Bytef*>(next);
        z.avail_in = in;
        const bool last = in == left;
        // Room for this piece's worst case.
        const std::size_t room = deflateBound(&z, in);
        std::uint8_t* at = out.reserve(room);
        if (at == nullptr) break;
        z.next_out = at;
        z.avail_out = static_cast<uInt>(std::min<std::size_t>(room, UINT32_MAX));
        result = deflate(&z, last ? Z_FINISH : Z_NO_FLUSH);
        out.grow(static_cast<std::size_t>(z.next_out - at));
        next += in - z.avail_in;
        left -= in - z.avail_in;
        if (last && result == Z_STREAM_END) break;
        if (result == Z_BUF_ERROR) result = Z_OK;  // no progress possible without more room: go round
    }
    deflateEnd(&z);
    return result == Z_STREAM_END;
}

bool choose_page_code(const PageBits& page, CodeChoice& choice, Encoded& g4, Encoded& deflate, TiffMessage& message) {
    const std::size_t row = page.row_bytes();
    choice = {};
    if (row * page.height <= kWholePageBytes) {
        if (!encode_g4(page, g4, message) || !encode_deflate(page, deflate)) return false;
        choice.exact = true;
    } else {
        // Bands of kSampleRows rows, one in every `every` rows, gathered
        // into one picture and coded by both.
        const std::uint32_t every = kSampleRows * 16;
        Encoded sample;
        std::uint32_t rows = 0;
        for (std::uint32_t y = every / 2; y < page.height; y += every) {
            const std::uint32_t n = std::min(kSampleRows, page.height - y);
            if (!sample.append(page.bits + row * y, row * n)) return false;
            rows += n;
        }
        if (rows == 0) {  // fewer rows than half a stride: the top band
            rows = std::min(kSampleRows, page.height);
            if (!sample.append(page.bits, row * rows)) return false;
        }
        const PageBits part{sample.data(), page.width, rows};
        if (!encode_g4(part, g4, message) || !encode_deflate(part, deflate)) return false;
    }
    choice.g4_size = g4.size();
    choice.deflate_size = deflate.size();
    choice.code = choice.g4_size <= choice.deflate_size ? PageCode::g4 : PageCode::deflate;
    return true;
}

const char* zlib_library() {
    static char text[40];
    static const int made = std::snprintf(text, sizeof text, "zlib %s", zlibVersion());
    (void)made;
    return text;
}

}  // namespace qpbm
