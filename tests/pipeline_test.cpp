// Any input to any output: every reader with every writer, to a file and to
// a pipe, and the rule that ties the new pairs to the old ones: the bits a
// BMP is decided into are those of its raw PBM under the same options,
// whatever encoding then holds them. Expected bytes are encoded here from
// the layouts, not by the library's writers.
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <vector>

#include "convert/convert.hpp"
#include "read/values.hpp"
#include "tests/support.hpp"

namespace qpbm_test {
namespace {

using qpbm::Format;
using qpbm::Method;
using qpbm::Options;
using qpbm::Status;

// A black and white picture, top row first; true for black.
struct Bits {
    int width = 0, height = 0;
    std::vector<bool> black;
    bool at(int x, int y) const { return black[static_cast<std::size_t>(y) * width + x]; }
};

Bits pattern(int width, int height, unsigned seed) {
    Bits b{width, height, {}};
    std::uint32_t s = seed;
    for (int i = 0; i < width * height; ++i) {
        s = s * 1664525u + 1013904223u;
        b.black.push_back((s >> 28) & 1);
    }
    return b;
}

Bits inverted(Bits b) {
    b.black.flip();
    return b;
}

std::string header(const char* magic, const Bits& b) {
    return std::string(magic) + "\n# Created by Quorvel\n" + std::to_string(b.width) + " " + std::to_string(b.height) +
           "\n";
}

Bytes p1_of(const Bits& b) {
    const std::string s = expected_pbm(b.width, b.height, [&](int x, int y) { return !b.at(x, y); });
    return Bytes(s.begin(), s.end());
}

// Rows of ceil(width / 8) bytes, the leftmost pixel in the highest bit, 1 black.
Bytes p4_rows(const Bits& b, std::uint8_t padding_bits = 0) {
    Bytes out;
    const int row_bytes = (b.width + 7) / 8;
    for (int y = 0; y < b.height; ++y)
        for (int i = 0; i < row_bytes; ++i) {
            std::uint8_t byte = 0;
            for (int k = 0; k < 8; ++k) {
                const int x = 8 * i + k;
                if (x < b.width ? b.at(x, y) : (padding_bits >> (7 - k)) & 1) byte |= 0x80 >> k;
            }
            out.push_back(byte);
        }
    return out;
}

Bytes p4_of(const Bits& b) {
    const std::string h = header("P4", b);
    Bytes out(h.begin(), h.end());
    const Bytes rows = p4_rows(b);
    out.insert(out.end(), rows.begin(), rows.end());
    return out;
}

Bytes bmp24_of(const Bits& b) {
    return make_bmp(b.width, b.height, [&](int x, int y) { return b.at(x, y) ? kBlack : kWhite; });
}

// 62 header bytes (two palette entries, black then white), rows bottom
// first, a set bit white, padded to 32 bits.
Bytes bmp1_of(const Bits& b) {
    const std::size_t stride = (static_cast<std::size_t>(b.width) + 31) / 32 * 4;
    Bytes out(62 + stride * static_cast<std::size_t>(b.height), 0);
    out[0] = 'B', out[1] = 'M';
    put32(out, 2, static_cast<std::uint32_t>(out.size()));
    put32(out, 10, 62);
    put32(out, 14, 40);
    put32(out, 18, static_cast<std::uint32_t>(b.width));
    put32(out, 22, static_cast<std::uint32_t>(b.height));
    put16(out, 26, 1);
    put16(out, 28, 1);
    put32(out, 34, static_cast<std::uint32_t>(stride * b.height));
    put32(out, 46, 2);
    put32(out, 50, 2);
    out[58] = out[59] = out[60] = 0xFF;
    for (int y = 0; y < b.height; ++y) {
        std::uint8_t* row = out.data() + 62 + stride * static_cast<std::size_t>(b.height - 1 - y);
        for (int x = 0; x < b.width; ++x)
            if (!b.at(x, y)) row[x / 8] |= static_cast<std::uint8_t>(0x80 >> (x % 8));
    }
    return out;
}

// The bits of a raw PBM as this library writes it.
Bits bits_of_p4(const Bytes& p4, int width, int height) {
    Bits b{width, height, {}};
    const std::size_t row_bytes = static_cast<std::size_t>(width + 7) / 8;
    const std::size_t start = p4.size() - row_bytes * static_cast<std::size_t>(height);
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x) b.black.push_back((p4[start + y * row_bytes + x / 8] >> (7 - x % 8)) & 1);
    return b;
}

enum class Out { p1, p4, bmp24, bmp1 };
constexpr Out kOuts[] = {Out::p1, Out::p4, Out::bmp24, Out::bmp1};
const char* name_of(Out o) { return o == Out::p1 ? "P1" : o == Out::p4 ? "P4" : o == Out::bmp24 ? "BMP 24" : "BMP 1"; }

Options to(Out o, Options options = {}) {
    options.to = o == Out::p1 || o == Out::p4 ? Format::pbm : Format::bmp;
    options.raw = o == Out::p4;
    options.bmp_bits = o == Out::bmp1 ? 1 : 24;
    return options;
}

Bytes encoded(Out o, const Bits& b) {
    switch (o) {
        case Out::p1: return p1_of(b);
        case Out::p4: return p4_of(b);
        case Out::bmp24: return bmp24_of(b);
        case Out::bmp1: return bmp1_of(b);
    }
    return {};
}

Bytes read_all(std::FILE* f) {
    Bytes out;
    std::rewind(f);
    for (int c; (c = std::fgetc(f)) != EOF;) out.push_back(static_cast<std::uint8_t>(c));
    return out;
}

struct Outcome {
    Status status;
    Bytes bytes;
};

// One conversion through the joiner, the reader picked by the first bytes,
// into a temporary file or a pipe (outputs here fit a pipe's buffer).
Outcome run(const Bytes& input, const Options& options, bool seekable = true) {
    static qpbm::Buffers buffers;
    std::FILE* in = std::tmpfile();
    EXPECT_TRUE(in && std::fwrite(input.data(), 1, input.size(), in) == input.size());
    std::rewind(in);
    int fds[2] = {-1, -1};
    std::FILE* out = seekable ? std::tmpfile() : (pipe(fds) == 0 ? fdopen(fds[1], "wb") : nullptr);
    EXPECT_TRUE(out);
    Outcome o{Status::unknown_format, {}};
    if (const qpbm::ReaderKind* kind = qpbm::reader_for(input.data(), input.size())) {
        qpbm::Conversion conversion;
        qpbm::Facts facts;
        o.status = qpbm::check_conversion(conversion, *kind, in, seekable, buffers, facts, options);
        if (o.status == Status::ok) o.status = qpbm::write_conversion(conversion, in, out);
    }
    if (seekable) {
        o.bytes = read_all(out);
        std::fclose(out);
    } else {
        std::fclose(out);
        std::uint8_t chunk[4096];
        for (ssize_t n; (n = read(fds[0], chunk, sizeof chunk)) > 0;) o.bytes.insert(o.bytes.end(), chunk, chunk + n);
        close(fds[0]);
    }
    std::fclose(in);
    return o;
}

// Noise, a gradient and pure black and white, so that every method has
// something to decide.
Bytes photo(int width, int height) {
    return make_bmp(width, height, [](int x, int y) {
        const unsigned v = static_cast<unsigned>(x * 37 + y * 91 + ((x * y) % 13) * 17);
        return Pixel{static_cast<std::uint8_t>(v), static_cast<std::uint8_t>(v * 3 + x),
                     static_cast<std::uint8_t>(y * 9)};
    });
}

TEST(Pipeline, EveryMethodDecidesTheBitsOfTheRawPbmWhateverTheEncoding) {
    const Method methods[] = {Method::channels, Method::luma,  Method::otsu,   Method::floyd_steinberg,
                              Method::atkinson, Method::bayer, Method::sauvola};
    const int width = 37, height = 23;
    const Bytes bmp = photo(width, height);
    for (const Method method : methods)
        for (const bool invert : {false, true}) {
            Options options;
            options.method = method;
            options.threshold = method == Method::luma ? qpbm::kDefaultLumaThreshold : qpbm::kDefaultChannelThreshold;
            options.invert = invert;
            const Outcome p4 = run(bmp, to(Out::p4, options));
            ASSERT_EQ(p4.status, Status::ok);
            const Bits bits = bits_of_p4(p4.bytes, width, height);
            for (const Out out : {Out::p1, Out::bmp24, Out::bmp1}) {
                SCOPED_TRACE(testing::Message() << "method " << static_cast<int>(method) << (invert ? " inverted" : "")
                                                << " to " << name_of(out));
                const Outcome o = run(bmp, to(out, options));
                EXPECT_EQ(o.status, Status::ok);
                EXPECT_TRUE(o.bytes == encoded(out, bits));
            }
        }
}

// Every reader with every writer, to a file and to a pipe: the same picture
// as a BMP of pure black and white, a plain PBM laid out as no writer lays it
// out, and a raw PBM with set padding bits, which mean nothing.
TEST(Pipeline, EveryReaderWithEveryWriterToAFileAndToAPipe) {
    const Bits bits = pattern(21, 6, 7);
    std::string plain = "P1 # no comment line\n21\n6";
    for (int y = 0; y < bits.height; ++y) {
        plain += "\n";
        for (int x = 0; x < bits.width; ++x) plain += bits.at(x, y) ? "1" : "0";
    }
    const std::string raw_header = "P4 21 6\n";
    Bytes raw(raw_header.begin(), raw_header.end());
    const Bytes rows = p4_rows(bits, 0xFF);
    raw.insert(raw.end(), rows.begin(), rows.end());
    const std::pair<const char*, Bytes> inputs[] = {
        {"BMP", bmp24_of(bits)}, {"P1", Bytes(plain.begin(), plain.end())}, {"P4", raw}};
    for (const auto& [input_name, input] : inputs)
        for (const Out out : kOuts)
            for (const bool seekable : {true, false})
                for (const bool invert : {false, true}) {
                    SCOPED_TRACE(testing::Message() << input_name << " to " << name_of(out)
                                                    << (seekable ? "" : " (pipe)") << (invert ? " inverted" : ""));
                    Options options = to(out);
                    options.invert = invert;
                    const Outcome o = run(input, options, seekable);
                    EXPECT_EQ(o.status, Status::ok);
                    EXPECT_TRUE(o.bytes == encoded(out, invert ? inverted(bits) : bits));
                }
}

// Rows wider than a block go in pieces: a PBM's rows come in pieces, and a
// 24-bit BMP row is written in pieces too.
TEST(Pipeline, RowsWiderThanABlock) {
    const Bits bits = pattern(static_cast<int>(qpbm::kRowPiecePixels) + 1003, 2, 3);
    for (const Out out : {Out::bmp24, Out::bmp1, Out::p1}) {
        SCOPED_TRACE(name_of(out));
        const Outcome o = run(p4_of(bits), to(out));
        EXPECT_EQ(o.status, Status::ok);
        EXPECT_TRUE(o.bytes == encoded(out, bits));
    }
    const Outcome o = run(bmp24_of(bits), to(Out::bmp1));
    EXPECT_EQ(o.status, Status::ok);
    EXPECT_TRUE(o.bytes == bmp1_of(bits));
}

TEST(Pipeline, APipeTakesABmpOfAtMostTheGatheredSize) {
    const Bits wide = pattern(qpbm::kMaxPbmWidth + 1, 1, 5);
    for (const Bytes& input : {p4_of(wide), bmp24_of(wide)}) {
        EXPECT_EQ(run(input, to(Out::bmp1), false).status, Status::pbm_too_large_for_pipe);
        EXPECT_EQ(run(input, to(Out::bmp24), true).status, Status::ok);
    }
}

// ---- a format from outside the library -----------------------------------------
//
// A reader of "QG" files (the magic, a byte of width and of height, then a
// grey sample per pixel, top row first) and a writer of text art ('#' black,
// '.' white, a line per row), each registered by one line.

struct GreyBuffers {
    std::uint8_t samples[256];
} grey_buffers;

class GreyReader final : public qpbm::Reader {
public:
    Status check(std::FILE* in, const qpbm::ReadRequest& request, qpbm::Picture& picture, qpbm::Facts& facts) override {
        std::uint8_t head[4];
        if (std::fread(head, 1, 4, in) != 4) return Status::read_failed;
        facts.format = "grey test picture";
        facts.width = width_ = head[2];
        facts.height = height_ = head[3];
        picture = {width_, height_, qpbm::RowForm::values};
        return qpbm::check_size_for(*request.options, width_, height_, facts);
    }
    Status read(std::FILE* in, const qpbm::ReadRequest& request, qpbm::RowSink& sink) override {
        if (!qpbm::seek_to(in, 4)) return Status::read_failed;
        for (int y = 0; y < height_; ++y) {
            const std::size_t count = static_cast<std::size_t>(width_);
            if (std::fread(grey_buffers.samples, 1, count, in) != count) return Status::read_failed;
            qpbm::grey_values(grey_buffers.samples, count, request.row, qpbm::value_rule(*request.options));
            if (!sink.take(static_cast<std::size_t>(y), 0, request.row, count)) return Status::write_failed;
        }
        return Status::ok;
    }

private:
    std::int32_t width_ = 0, height_ = 0;
};

constexpr Format kTextArt = static_cast<Format>(200);

class TextArtWriter final : public qpbm::Writer {
public:
    Status check(std::int32_t width, std::int32_t, bool, qpbm::Facts&) override {
        width_ = width;
        return Status::ok;
    }
    bool gathers() const override { return false; }
    Status begin(std::FILE* out) override {
        out_ = out;
        return Status::ok;
    }
    bool take(std::size_t, std::size_t first, const std::uint8_t* bits, std::size_t count) override {
        for (std::size_t x = 0; x < count; ++x) std::fputc((bits[x / 8] >> (7 - x % 8)) & 1 ? '#' : '.', out_);
        if (first + count == static_cast<std::size_t>(width_)) std::fputc('\n', out_);
        return !std::ferror(out_);
    }
    Status finish() override { return std::fflush(out_) == 0 ? Status::ok : Status::write_failed; }

private:
    std::FILE* out_ = nullptr;
    std::int32_t width_ = 0;
};

const qpbm::ReaderKind kGreyReader = {
    "grey", static_cast<Format>(201), Format::pbm,
    [](const unsigned char* first, std::size_t length) { return length >= 2 && first[0] == 'Q' && first[1] == 'G'; },
    [](qpbm::PartRoom& room, qpbm::Buffers&) -> qpbm::Reader* { return qpbm::build_in<GreyReader>(room); }};

const qpbm::WriterKind kTextArtWriter = {
    "text art", kTextArt,
    [](qpbm::PartRoom& room, qpbm::Buffers&, const Options&) -> qpbm::Writer* {
        return qpbm::build_in<TextArtWriter>(room);
    },
    [](std::uint64_t width, std::uint64_t height, const Options&) { return (width + 1) * height; }};

const bool registered = qpbm::add_reader(kGreyReader) && qpbm::add_writer(kTextArtWriter);

std::string text_art(const Bits& b) {
    std::string s;
    for (int y = 0; y < b.height; ++y) {
        for (int x = 0; x < b.width; ++x) s += b.at(x, y) ? '#' : '.';
        s += '\n';
    }
    return s;
}

TEST(Pipeline, AFormatRegisteredFromOutsideMeetsEveryOtherPart) {
    ASSERT_TRUE(registered);
    // Greys 0, 20, ..., 240 on 5 x 3; luma at 128 makes those below it black.
    Bytes grey = {'Q', 'G', 5, 3};
    Bits expected{5, 3, {}};
    for (int i = 0; i < 15; ++i) {
        grey.push_back(static_cast<std::uint8_t>(20 * (i % 13)));
        expected.black.push_back(20 * (i % 13) < 128);
    }
    Options luma;
    luma.method = Method::luma;
    luma.threshold = qpbm::kDefaultLumaThreshold;
    for (const Out out : kOuts) {
        SCOPED_TRACE(name_of(out));
        const Outcome o = run(grey, to(out, luma));
        EXPECT_EQ(o.status, Status::ok);
        EXPECT_TRUE(o.bytes == encoded(out, expected));
    }
    // Its default output is what its kind says, and the writer takes any reader.
    EXPECT_TRUE(run(grey, luma).bytes == p1_of(expected));
    luma.to = kTextArt;
    const Outcome art = run(grey, luma);
    EXPECT_EQ(std::string(art.bytes.begin(), art.bytes.end()), text_art(expected));
    const Bits bits = pattern(9, 4, 11);
    Options options;
    options.to = kTextArt;
    for (const Bytes& input : {bmp24_of(bits), p4_of(bits)}) {
        const Outcome o = run(input, options);
        EXPECT_EQ(std::string(o.bytes.begin(), o.bytes.end()), text_art(bits));
    }
}

}  // namespace
}  // namespace qpbm_test

// A build without a codec names the format and the library it lacks, by the
// format's signature, rather than calling the file unknown.
TEST(Pipeline, CodecFormatsAreNamedBySignature) {
    struct Case {
        std::vector<unsigned char> first;
        const char* format;  // null: not a codec's
    };
    const Case cases[] = {
        {{0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n', 0}, "PNG"},
        {{0x89, 'P', 'N', 'G', '\r', '\n', 0x1A}, nullptr},  // a signature cut short
        {{0xFF, 0xD8, 0xFF, 0xE0}, "JPEG"},
        {{0xFF, 0xD8, 0x00}, nullptr},
        {{'I', 'I', 42, 0, 8, 0, 0, 0}, "TIFF"},
        {{'M', 'M', 0, 42}, "TIFF"},
        {{'I', 'I', 43, 0}, "TIFF"},  // BigTIFF
        {{'I', 'I', 0, 42}, nullptr},
        {{'B', 'M', 0, 0}, nullptr},
        {{}, nullptr},
    };
    for (const Case& c : cases) {
        const qpbm::CodecFormat* found = qpbm::codec_format_of(c.first.data(), c.first.size());
        EXPECT_STREQ(found != nullptr ? found->format : nullptr, c.format) << c.first.size() << " bytes";
    }
    qpbm::Facts facts;
    facts.format = "TIFF";
    std::snprintf(facts.name, sizeof facts.name, "libtiff");
    char text[256];
    EXPECT_STREQ(qpbm::describe_status(qpbm::Status::codec_missing, facts, text, sizeof text),
                 "a TIFF file, and this build has no libtiff: the Debian packages, the wheel and the Windows zip "
                 "read it");
}
