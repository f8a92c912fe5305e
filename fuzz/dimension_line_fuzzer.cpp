// The dimension line of a PBM, after a fixed magic and comment line. The
// result is compared with a reading of the line built on strtoll:
// - the line is one read of at most 99 characters through a line feed,
//   its text ending at the first NUL;
// - the width is the text before the first space, the height the text from
//   there to the next line feed, each at most 23 characters with a digit;
// - negative dimensions and dimensions over 1000 are refused;
// and, when the header is accepted, the stream stands right after the line.
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "convert/convert.hpp"
#include "fuzz_support.hpp"

namespace {

using qpbm::Status;

constexpr char kPrefix[] = "P1\n#\n";
constexpr std::size_t kPrefixSize = sizeof kPrefix - 1;

// One number: strtoll's reading of exactly these characters.
Status number(const std::string& text, std::int64_t& value) {
    if (text.size() > 23) return Status::pbm_number_too_long;
    char* end = nullptr;
    errno = 0;
    const long long parsed = std::strtoll(text.c_str(), &end, 10);
    if (end == text.c_str()) return Status::pbm_bad_number;
    value = parsed;  // out of range saturates, which is still out of range here
    return Status::ok;
}

struct Expected {
    Status status = Status::ok;
    std::int64_t width = 0, height = 0;
    std::size_t line_length = 0;
};

Expected expect(const std::uint8_t* data, std::size_t size) {
    Expected e;
    while (e.line_length < 99 && e.line_length < size && data[e.line_length++] != '\n') {
    }
    if (e.line_length == 0) return {Status::pbm_missing_lines};
    const std::string line(reinterpret_cast<const char*>(data), e.line_length);
    const std::string text = line.substr(0, line.find('\0'));

    const std::size_t space = text.find(' ');
    if (space == std::string::npos) return {Status::pbm_bad_dimension_line};
    const std::size_t line_feed = text.find('\n', space + 1);
    if (line_feed == std::string::npos) return {Status::pbm_bad_dimension_line};

    e.status = number(text.substr(0, space), e.width);
    if (e.status == Status::ok) e.status = number(text.substr(space + 1, line_feed - space - 1), e.height);
    if (e.status != Status::ok) return e;
    if (e.width < 0 || e.height < 0)
        e.status = Status::pbm_negative_dimension;
    else if (e.width > 1000 || e.height > 1000)
        e.status = Status::pbm_too_large;
    return e;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static std::uint8_t input[kPrefixSize + 4096];
    if (size > sizeof input - kPrefixSize) return 0;
    std::memcpy(input, kPrefix, kPrefixSize);
    if (size > 0) std::memcpy(input + kPrefixSize, data, size);
    qpbm_fuzz::InputStream in(input, kPrefixSize + size);
    FUZZ_REQUIRE(in.get() != nullptr);

    qpbm::PbmSource source;
    qpbm::Facts facts;
    const Status status = qpbm::read_pbm_header(in.get(), source, facts);
    const Expected e = expect(data, size);
    FUZZ_REQUIRE(status == e.status);
    if (status == Status::ok) {
        FUZZ_REQUIRE(source.width == e.width && source.height == e.height);
        FUZZ_REQUIRE(std::ftell(in.get()) == static_cast<long>(kPrefixSize + e.line_length));
    }
    return 0;
}
