// The pixel-buffer reader decides what a PAM of the same samples gives, for
// every layout, stride, method and output.
#include <string>
#include <vector>

#include "read/pixels.hpp"
#include "tests/conversion_support.hpp"

namespace qpbm_test {
namespace {

using qpbm::Method;
using qpbm::Options;
using qpbm::PixelLayout;
using qpbm::Status;

Outcome run_pixels(const qpbm::PixelSource& source, const Options& options) {
    return run_checked({}, [&](qpbm::Conversion& c, std::FILE*, qpbm::Facts& facts) {
        return qpbm::check_pixels(c, source, true, test_buffers(), facts, options);
    });
}

Outcome run_input(const Bytes& input, const Options& options) {
    return run_checked(input, [&](qpbm::Conversion& c, std::FILE* in, qpbm::Facts& facts) {
        return qpbm::check_conversion(c, *qpbm::reader_for(input.data(), input.size()), in, true, test_buffers(), facts,
                                      options);
    });
}

struct Layout {
    PixelLayout layout;
    const char* tuple_type;
    int depth;
    bool blue_first;
};

constexpr Layout kLayouts[] = {
    {PixelLayout::gray8, "GRAYSCALE", 1, false}, {PixelLayout::graya8, "GRAYSCALE_ALPHA", 2, false},
    {PixelLayout::rgb8, "RGB", 3, false},        {PixelLayout::rgba8, "RGB_ALPHA", 4, false},
    {PixelLayout::bgr8, "RGB", 3, true},         {PixelLayout::bgra8, "RGB_ALPHA", 4, true},
};

// A PAM of the samples, red first whatever the layout's order.
Bytes pam_of(const Layout& l, int width, int height, const std::vector<std::uint8_t>& samples) {
    const std::string h = "P7\nWIDTH " + std::to_string(width) + "\nHEIGHT " + std::to_string(height) + "\nDEPTH " +
                          std::to_string(l.depth) + "\nMAXVAL 255\nTUPLTYPE " + l.tuple_type + "\nENDHDR\n";
    Bytes out = text(h);
    for (std::size_t i = 0; i < samples.size(); i += l.depth)
        for (int k = 0; k < l.depth; ++k) out.push_back(samples[i + (l.blue_first && k < 3 ? 2 - k : k)]);
    return out;
}

std::vector<std::uint8_t> noise(std::size_t n, std::uint32_t seed) {
    std::vector<std::uint8_t> v(n);
    for (auto& b : v) b = static_cast<std::uint8_t>((seed = seed * 1664525u + 1013904223u) >> 24);
    return v;
}

TEST(PixelReader, EveryLayoutStrideMethodAndOutputDecidesAsThePamOfItsSamples) {
    const int width = 29, height = 11;
    const Method methods[] = {Method::channels, Method::luma,  Method::otsu,   Method::floyd_steinberg,
                              Method::atkinson, Method::bayer, Method::sauvola};
    for (const Layout& l : kLayouts) {
        const std::size_t row = static_cast<std::size_t>(width) * l.depth;
        const std::vector<std::uint8_t> samples = noise(row * height, l.depth * 7u);
        // The same rows 5 bytes apart beyond their end, with junk between.
        std::vector<std::uint8_t> padded(static_cast<std::size_t>(height) * (row + 5), 0xA5);
        for (int y = 0; y < height; ++y)
            std::copy(samples.begin() + y * row, samples.begin() + (y + 1) * row, padded.begin() + y * (row + 5));
        // One row repeated through a stride of 0.
        std::vector<std::uint8_t> repeated;
        for (int y = 0; y < height; ++y) repeated.insert(repeated.end(), samples.begin(), samples.begin() + row);

        struct Source {
            const char* name;
            qpbm::PixelSource pixels;
            const std::vector<std::uint8_t>& samples;
        };
        const Source sources[] = {
            {"tight", {samples.data(), width, height, row, l.layout}, samples},
            {"padded", {padded.data(), width, height, row + 5, l.layout}, samples},
            {"stride 0", {samples.data(), width, height, 0, l.layout}, repeated},
        };
        for (const Source& s : sources)
            for (const Method m : methods)
                for (const qpbm::Format to : {qpbm::Format::pbm, qpbm::Format::bmp}) {
                    SCOPED_TRACE(std::string(l.tuple_type) + (l.blue_first ? " BGR " : " ") + s.name + " method " +
                                 std::to_string(static_cast<int>(m)) + (to == qpbm::Format::bmp ? " BMP" : " PBM"));
                    Options o;
                    o.method = m;
                    o.threshold = m == Method::luma ? 120 : 100;
                    o.to = to;
                    o.raw = true;
                    o.bmp_bits = 1;
                    const Outcome want = run_input(pam_of(l, width, height, s.samples), o);
                    const Outcome got = run_pixels(s.pixels, o);
                    ASSERT_EQ(want.status, Status::ok);
                    ASSERT_EQ(got.status, Status::ok);
                    EXPECT_EQ(got.bytes, want.bytes);
                }
    }
}

TEST(PixelReader, RefusesMemoryItCannotDescribe) {
    const std::uint8_t pixel[4] = {};
    struct Case {
        qpbm::PixelSource source;
        Status status;
    };
    const Case cases[] = {
        {{nullptr, 2, 2, 6, PixelLayout::rgb8}, Status::pixels_no_data},
        {{pixel, 2, 2, 5, PixelLayout::rgb8}, Status::pixels_bad_stride},
        {{pixel, 3000000000u, 1, 0, PixelLayout::gray8}, Status::pixels_bad_size},
        {{pixel, 1, 1, 1, static_cast<PixelLayout>(9)}, Status::pixels_bad_layout},
        {{pixel, 1, 3, SIZE_MAX / 2, PixelLayout::gray8}, Status::pixels_bad_stride},
    };
    for (const Case& c : cases) EXPECT_EQ(run_pixels(c.source, Options{}).status, c.status);
    // An empty picture needs no memory at all.
    EXPECT_EQ(run_pixels({nullptr, 0, 5, 0, PixelLayout::rgb8}, Options{}).status, Status::ok);
    Options limited;
    limited.max_pixels = 3;
    EXPECT_EQ(run_pixels({pixel, 2, 2, 0, PixelLayout::gray8}, limited).status, Status::too_many_pixels);
}

}  // namespace
}  // namespace qpbm_test
