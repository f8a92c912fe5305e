#include "write/pdf.hpp"

#include <cinttypes>
#include <cmath>
#include <cstdarg>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "core/limits.hpp"

namespace qpbm {

namespace {

// Objects before the first page's, and each page's.
constexpr std::uint64_t kFirstPageObject = 4;
constexpr std::uint64_t kObjectsPerPage = 3;
// A cross-reference entry's offset has ten digits.
constexpr std::uint64_t kMaxPdfOffset = 9999999999u;

// The most a page's objects and the document's end take beside the image's
// code, for the size told in advance.
constexpr std::uint64_t kPageOverhead = 1024;
constexpr std::uint64_t kDocumentOverhead = 1024;

// A length in points (1/72 inch) of `pixels` at `dpi`, to five places and
// a little under the exact length: renderers size the page in pixels by
// rounding up (poppler: ceil of points times dpi / 72, where 1.68 pt at 300
// dpi becomes 7.000000000000001 and so 8 pixels), and a page a hundred
// thousandth of a point short of its last pixel's edge still holds it.
void format_points(char* text, std::size_t size, std::uint32_t pixels, double dpi) {
    const double hundred_thousandths = std::ceil(pixels * 72.0 / dpi * 1e5) - 1;
    std::snprintf(text, size, "%.5f", hundred_thousandths / 1e5);
    char* end = text + std::strlen(text);
    while (end[-1] == '0') *--end = '\0';
    if (end[-1] == '.') end[-1] = '\0';
}

double dots_per_inch(ResolutionUnit unit, double dots) {
    switch (unit) {
        case ResolutionUnit::inch: return dots;
        case ResolutionUnit::centimetre: return dots * 2.54;
        case ResolutionUnit::metre: return dots * 0.0254;
        case ResolutionUnit::none: break;
    }
    return 0;
}

std::uint64_t pdf_size(std::uint64_t width, std::uint64_t height, const Options&) {
    const std::uint64_t raw = (width + 7) / 8 * height;
    return kDocumentOverhead + kPageOverhead + raw + raw / 16384 * 5 + 64;
}

}  // namespace

PdfWriter::~PdfWriter() { abandon(); }

void PdfWriter::abandon() {
    std::free(page_);
    std::free(offsets_);
    page_ = nullptr;
    offsets_ = nullptr;
    page_room_ = 0;
    offset_room_ = 0;
    out_ = nullptr;
}

Status PdfWriter::failed(Status status) {
    if (facts_ != nullptr && message_.text[0] != '\0')
        std::snprintf(facts_->library_text, sizeof facts_->library_text, "%s", message_.text);
    return status;
}

Status PdfWriter::check(std::int32_t width, std::int32_t height, bool, Facts& facts) {
    facts_ = &facts;
    if (width <= 0 || height <= 0) return Status::document_empty;
    if (std::uint64_t(width) * std::uint64_t(height) > kMaxHeldPixels) {
        facts.width = width;
        facts.height = height;
        facts.limit = kMaxHeldPixels;
        return Status::page_too_large;
    }
    width_ = static_cast<std::uint32_t>(width);
    height_ = static_cast<std::uint32_t>(height);
    row_bytes_ = (width_ + 7u) / 8u;
    return Status::ok;
}

bool PdfWriter::write(const void* bytes, std::size_t count) {
    if (at_ + count > kMaxPdfOffset) return false;
    at_ += count;
    return std::fwrite(bytes, 1, count, out_) == count;
}

bool PdfWriter::print(const char* format, ...) {
    char text[512];
    va_list args;
    va_start(args, format);
    const int n = std::vsnprintf(text, sizeof text, format, args);
    va_end(args);
    return n >= 0 && static_cast<std::size_t>(n) < sizeof text && write(text, static_cast<std::size_t>(n));
}

// Notes where object `number` starts, then opens it.
bool PdfWriter::begin_object(std::uint64_t number) {
    if (number > offset_room_) {
        const std::uint64_t room = offset_room_ * 2 + 64;
        auto* grown = static_cast<std::uint64_t*>(std::realloc(offsets_, room * sizeof *offsets_));
        if (grown == nullptr) return false;
        offsets_ = grown;
        offset_room_ = room;
    }
    offsets_[number - 1] = at_;
    return print("%" PRIu64 " 0 obj\n", number);
}

Status PdfWriter::begin(std::FILE* out) {
    out_ = out;
    at_ = 0;
    pages_ = 0;
    // The second line's bytes over 127 tell transfer programs the file is binary.
    static const char kHeader[] = "%PDF-1.4\n%\xE2\xE3\xCF\xD3\n";
    if (!write(kHeader, sizeof kHeader - 1)) return Status::write_failed;
    return start_page() ? Status::ok : Status::write_failed;
}

bool PdfWriter::start_page() {
    page_open_ = true;
    const std::size_t bytes = row_bytes_ * height_;  // under kMaxHeldPixels bits
    if (bytes > page_room_) {
        std::free(page_);
        page_ = static_cast<std::uint8_t*>(std::malloc(bytes));
        page_room_ = page_ != nullptr ? bytes : 0;
    }
    return page_ != nullptr;
}

Status PdfWriter::next_page() { return start_page() ? Status::ok : Status::write_failed; }

bool PdfWriter::take(std::size_t y, std::size_t first, const std::uint8_t* bits, std::size_t count) {
    std::memcpy(page_ + row_bytes_ * y + first / 8, bits, (count + 7) / 8);
    return true;
}

bool PdfWriter::write_image(const Encoded& code, PageCode kind) {
    const std::uint64_t image = kFirstPageObject + kObjectsPerPage * pages_;
    bool done = begin_object(image) && print("<< /Type /XObject /Subtype /Image /Width %" PRIu32 " /Height %" PRIu32
                                             " /ImageMask true /BitsPerComponent 1\n",
                                             width_, height_);
    // G4 decodes black to 0 (BlackIs1 false), which a mask paints; Flate
    // carries the rows as they are, 1 black, which /Decode [1 0] paints.
    if (kind == PageCode::g4)
        done =
            done && print("/Filter /CCITTFaxDecode /DecodeParms << /K -1 /Columns %" PRIu32 " /Rows %" PRIu32 " >>\n",
                          width_, height_);
    else
        done = done && print("/Decode [1 0] /Filter /FlateDecode\n");
    return done && print("/Length %zu >>\nstream\n", code.size()) && write(code.data(), code.size()) &&
           print("\nendstream\nendobj\n");
}

Status PdfWriter::end_page() {
    const PageBits page{page_, width_, height_};
    CodeChoice choice;
    Encoded g4, deflate;
    if (!choose_page_code(page, choice, g4, deflate, message_)) return failed();
    const std::size_t raw = row_bytes_ * height_;
    if (!choice.exact) {
        // Both in full when the sample leaves them near each other, or G4 past the raw bits.
        const auto g4_size = static_cast<double>(choice.g4_size);
        const auto deflate_size = static_cast<double>(choice.deflate_size);
        const bool close = g4_size <= deflate_size * kPdfCloseCall && deflate_size <= g4_size * kPdfCloseCall;
        g4.clear();
        deflate.clear();
        if ((close || choice.code == PageCode::g4) && !encode_g4(page, g4, message_)) return failed();
        if ((close || choice.code == PageCode::deflate || g4.size() > raw) && !encode_deflate(page, deflate))
            return failed();
        choice.code =
            g4.size() == 0 || (deflate.size() > 0 && deflate.size() < g4.size()) ? PageCode::deflate : PageCode::g4;
    }
    const Encoded& code = choice.code == PageCode::g4 ? g4 : deflate;

    const double across = dots_per_inch(resolution_.unit, resolution_.x);
    const double down = dots_per_inch(resolution_.unit, resolution_.y);
    char w[32], h[32];
    format_points(w, sizeof w, width_, across > 0 ? across : kPdfDefaultDpi);
    format_points(h, sizeof h, height_, down > 0 ? down : kPdfDefaultDpi);
    const std::uint64_t image = kFirstPageObject + kObjectsPerPage * pages_;
    char content[160];
    const int length = std::snprintf(content, sizeof content, "q %s 0 0 %s 0 0 cm /Im0 Do Q\n", w, h);
    const bool done = write_image(code, choice.code) && begin_object(image + 1) &&
                      print("<< /Length %d >>\nstream\n%sendstream\nendobj\n", length, content) &&
                      begin_object(image + 2) &&
                      print("<< /Type /Page /Parent 2 0 R /MediaBox [0 0 %s %s] /Resources << /XObject << /Im0 %" PRIu64
                            " 0 R >> >> /Contents %" PRIu64 " 0 R >>\nendobj\n",
                            w, h, image, image + 1);
    if (!done) return failed(at_ + kPageOverhead > kMaxPdfOffset ? Status::pdf_too_large : Status::write_failed);
    ++pages_;
    page_open_ = false;
    return Status::ok;
}

Status PdfWriter::finish() {
    if (page_open_) {
        if (const Status status = end_page(); status != Status::ok) return status;
    }
    if (pages_ == 0) return Status::document_empty;
    bool done = begin_object(2) && print("<< /Type /Pages /Count %" PRIu64 " /Kids [", pages_);
    for (std::uint64_t p = 0; done && p < pages_; ++p)
        done = print(p % 8 == 7 ? "%" PRIu64 " 0 R\n" : "%" PRIu64 " 0 R ", kFirstPageObject + kObjectsPerPage * p + 2);
    done = done && print("] >>\nendobj\n") && begin_object(1) && print("<< /Type /Catalog /Pages 2 0 R >>\nendobj\n");
    // The date only when the caller's build gives one: the same pictures make the same bytes.
    char date[64] = "";
    if (const char* epoch = std::getenv("SOURCE_DATE_EPOCH"); epoch != nullptr && *epoch != '\0') {
        char* end = nullptr;
        const long long seconds = std::strtoll(epoch, &end, 10);
        const std::time_t t = static_cast<std::time_t>(seconds);
        std::tm utc{};
#if defined(_WIN32)
        const bool known = *end == '\0' && seconds >= 0 && gmtime_s(&utc, &t) == 0;
#else
        const bool known = *end == '\0' && seconds >= 0 && gmtime_r(&t, &utc) != nullptr;
#endif
        if (known) std::strftime(date, sizeof date, " /CreationDate (D:%Y%m%d%H%M%SZ)", &utc);
    }
    done = done && begin_object(3) && print("<< /Producer (QuorvelPBM)%s >>\nendobj\n", date);
    const std::uint64_t objects = kFirstPageObject - 1 + kObjectsPerPage * pages_;
    const std::uint64_t table = at_;
    done = done && print("xref\n0 %" PRIu64 "\n0000000000 65535 f \n", objects + 1);
    for (std::uint64_t n = 0; done && n < objects; ++n) done = print("%010" PRIu64 " 00000 n \n", offsets_[n]);
    done = done && print("trailer\n<< /Size %" PRIu64 " /Root 1 0 R /Info 3 0 R >>\nstartxref\n%" PRIu64 "\n%%%%EOF\n",
                         objects + 1, table);
    if (!done) return failed(at_ + kDocumentOverhead > kMaxPdfOffset ? Status::pdf_too_large : Status::write_failed);
    return std::fflush(out_) == 0 && !std::ferror(out_) ? Status::ok : Status::write_failed;
}

const WriterKind kPdfWriter = {
    "PDF",
    Format::pdf,
    [](PartRoom& room, Buffers&, const Options&) -> Writer* { return build_in<PdfWriter>(room); },
    pdf_size,
};

}  // namespace qpbm
