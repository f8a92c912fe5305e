// Conversions through the joiner, on temporary files, for tests of readers
// and writers.
#pragma once

#include <cstdio>
#include <string>

#include "convert/convert.hpp"
#include "tests/support.hpp"

namespace qpbm_test {

struct Outcome {
    qpbm::Status status = qpbm::Status::unknown_format;
    qpbm::Facts facts;
    Bytes bytes;
};

inline Bytes text(const std::string& s) { return Bytes(s.begin(), s.end()); }

inline Bytes read_stream(std::FILE* f) {
    Bytes out;
    std::rewind(f);
    for (int c; (c = std::fgetc(f)) != EOF;) out.push_back(static_cast<std::uint8_t>(c));
    return out;
}

// The check and write of a conversion into a temporary file; `check` runs
// the check phase on the conversion and the input stream.
template <class Check>
Outcome run_checked(const Bytes& input, Check check) {
    Outcome o;
    std::FILE* in = std::tmpfile();
    std::FILE* out = std::tmpfile();
    EXPECT_TRUE(in && out && (input.empty() || std::fwrite(input.data(), 1, input.size(), in) == input.size()));
    std::rewind(in);
    {
        qpbm::Conversion conversion;
        o.status = check(conversion, in, o.facts);
        if (o.status == qpbm::Status::ok) o.status = qpbm::write_conversion(conversion, in, out);
    }
    o.bytes = read_stream(out);
    std::fclose(in);
    std::fclose(out);
    return o;
}

inline qpbm::Buffers& test_buffers() {
    static qpbm::Buffers buffers;
    return buffers;
}

// A raw PBM of the input, the reader picked by its first bytes.
inline Outcome run_to_p4(const Bytes& input, qpbm::Options options) {
    options.raw = true;
    options.to = qpbm::Format::pbm;
    return run_checked(input, [&](qpbm::Conversion& c, std::FILE* in, qpbm::Facts& facts) {
        const qpbm::ReaderKind* kind = qpbm::reader_for(input.data(), input.size());
        return kind == nullptr ? qpbm::Status::unknown_format
                               : qpbm::check_conversion(c, *kind, in, true, test_buffers(), facts, options);
    });
}

// A conversion that reads in a thread of its own writes the bytes of one
// that does not, for every kind of method: per pixel, from the histogram,
// from whole rows, and inverted.
inline void expect_same_bytes_in_thread(const Bytes& input) {
    using qpbm::Method;
    for (const Method method : {Method::channels, Method::otsu, Method::floyd_steinberg, Method::sauvola}) {
        for (const bool invert : {false, true}) {
            SCOPED_TRACE(static_cast<int>(method) * 2 + invert);
            qpbm::Options options;
            options.method = method;
            options.threshold =
                method == Method::channels ? qpbm::kDefaultChannelThreshold : qpbm::kDefaultLumaThreshold;
            options.invert = invert;
            const Outcome serial = run_to_p4(input, options);
            options.reader_thread = true;
            const Outcome threaded = run_to_p4(input, options);
            EXPECT_EQ(serial.status, qpbm::Status::ok);
            EXPECT_EQ(threaded.status, qpbm::Status::ok);
            EXPECT_GT(serial.bytes.size(), 20u);
            EXPECT_TRUE(threaded.bytes == serial.bytes);
        }
    }
}

}  // namespace qpbm_test
