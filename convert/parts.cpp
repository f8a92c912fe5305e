// The library's readers and writers. A new format adds its line here.
#include <cstring>

#include "convert/convert.hpp"
#include "core/png_format.hpp"
#include "read/bmp.hpp"
#include "read/pbm.hpp"
#include "read/pnm.hpp"
#include "write/bmp.hpp"
#include "write/pbm.hpp"

namespace qpbm {

namespace {

const ReaderKind* const kReaders[] = {
    &kBmpReader,
    &kPbmReader,
    &kPnmReader,
};

const WriterKind* const kWriters[] = {
    &kPbmWriter,
    &kBmpWriter,
};

constexpr std::size_t kMaxAddedParts = 8;
const ReaderKind* added_readers[kMaxAddedParts];
const WriterKind* added_writers[kMaxAddedParts];
std::size_t added_reader_count = 0;
std::size_t added_writer_count = 0;

// How many first bytes a reader is shown at most.
constexpr std::size_t kClaimBytes = 16;

}  // namespace

const CodecFormat* codec_format_of(const unsigned char* first, std::size_t length) {
    static constexpr CodecFormat kPng{"PNG", "libspng"};
    static constexpr CodecFormat kJpeg{"JPEG", "libjpeg-turbo"};
    static constexpr CodecFormat kTiff{"TIFF", "libtiff"};
    static constexpr unsigned char kJpegStart[] = {0xFF, 0xD8, 0xFF};
    // Classic TIFF (42) and BigTIFF (43), in either byte order.
    static constexpr unsigned char kTiffStarts[][4] = {
        {'I', 'I', 42, 0}, {'M', 'M', 0, 42}, {'I', 'I', 43, 0}, {'M', 'M', 0, 43}};
    auto starts = [&](const unsigned char* signature, std::size_t size) {
        return length >= size && std::memcmp(first, signature, size) == 0;
    };
    if (starts(kPngSignature, sizeof kPngSignature)) return &kPng;
    if (starts(kJpegStart, sizeof kJpegStart)) return &kJpeg;
    for (const auto& start : kTiffStarts)
        if (starts(start, sizeof start)) return &kTiff;
    return nullptr;
}

const ReaderKind* reader_for(const unsigned char* first, std::size_t length) {
    if (length > kClaimBytes) length = kClaimBytes;
    for (const ReaderKind* kind : kReaders)
        if (kind->claims(first, length)) return kind;
    for (std::size_t i = 0; i < added_reader_count; ++i)
        if (added_readers[i]->claims(first, length)) return added_readers[i];
    return nullptr;
}

bool any_reader_may_begin(const unsigned char* first, std::size_t length) {
    if (length == 0) return true;
    auto may = [&](const ReaderKind* kind) {
        return kind->claims(first, length) || (kind->may_begin != nullptr && kind->may_begin(first, length));
    };
    for (const ReaderKind* kind : kReaders)
        if (may(kind)) return true;
    for (std::size_t i = 0; i < added_reader_count; ++i)
        if (may(added_readers[i])) return true;
    return false;
}

const WriterKind* writer_for(Format format) {
    for (const WriterKind* kind : kWriters)
        if (kind->format == format) return kind;
    for (std::size_t i = 0; i < added_writer_count; ++i)
        if (added_writers[i]->format == format) return added_writers[i];
    return nullptr;
}

bool add_reader(const ReaderKind& kind) {
    if (added_reader_count == kMaxAddedParts) return false;
    added_readers[added_reader_count++] = &kind;
    return true;
}

bool add_writer(const WriterKind& kind) {
    if (added_writer_count == kMaxAddedParts) return false;
    added_writers[added_writer_count++] = &kind;
    return true;
}

}  // namespace qpbm
