#include "batch_job.hpp"

#include <cerrno>
#include <vector>

#include "console.hpp"
#include "files.hpp"

namespace tool {

std::string output_name(std::string name, qpbm_format format) {
    const std::size_t slash = name.find_last_of(kSeparators);
    const std::size_t base = slash == std::string::npos ? 0 : slash + 1;
    const std::size_t dot = name.rfind('.');
    if (dot != std::string::npos && dot > base) name.resize(dot);
    switch (format) {
        case QPBM_FORMAT_PBM: return name + ".pbm";
        case QPBM_FORMAT_PNG: return name + ".png";
        case QPBM_FORMAT_TIFF: return name + ".tif";
        case QPBM_FORMAT_PDF: return name + ".pdf";
        case QPBM_FORMAT_ESCPOS: return name + ".bin";
        case QPBM_FORMAT_ZPL: return name + ".zpl";
        case QPBM_FORMAT_XBM: return name + ".xbm";
        default: return name + ".bmp";
    }
}

std::string base_name(const std::string& path) {
    const std::size_t slash = path.find_last_of(kSeparators);
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

qpbm_direction direction_of(qpbm_format format) {
    return format == QPBM_FORMAT_BMP ? QPBM_BMP_TO_PBM : format == QPBM_FORMAT_PBM ? QPBM_PBM_TO_BMP : QPBM_DETECT;
}

std::string page_name(const std::string& path, std::uint32_t page) {
    const std::size_t slash = path.find_last_of(kSeparators);
    const std::size_t base = slash == std::string::npos ? 0 : slash + 1;
    std::size_t dot = path.rfind('.');
    if (dot == std::string::npos || dot <= base) dot = path.size();
    return path.substr(0, dot) + "-" + std::to_string(page) + path.substr(dot);
}

namespace {

// The pages --pages names, in order, of an input of `count` pages, up to
// the first past its last.
std::vector<std::uint32_t> selected_pages(const std::string& text, std::uint32_t count) {
    std::vector<std::uint32_t> pages;
    if (text == "all") {
        for (std::uint32_t p = 1; p <= count; ++p) pages.push_back(p);
        return pages;
    }
    for (std::size_t at = 0; at < text.size();) {
        std::size_t end = text.find(',', at);
        if (end == std::string::npos) end = text.size();
        const std::string part = text.substr(at, end - at);
        const std::size_t dash = part.find('-');
        const unsigned long first = std::stoul(part.substr(0, dash));
        const unsigned long last = dash == std::string::npos ? first : std::stoul(part.substr(dash + 1));
        for (unsigned long p = first; p <= last; ++p) {
            pages.push_back(static_cast<std::uint32_t>(p));
            if (p > count) return pages;  // the first page past the last, which the library refuses with the count
        }
        at = end + 1;
    }
    return pages;
}

}  // namespace

void convert(const Options& options, const Job& job, bool alone, void* work, std::size_t work_size, Outcome& outcome) {
    qpbm_options conversion = options.conversion.api;
    conversion.flags |= options.fsync ? QPBM_FLAG_FSYNC : 0u;
    conversion.flags |= alone && options.reader_thread ? QPBM_FLAG_THREAD : 0u;
    conversion.permissions &= job.permissions;
    const std::string& pages = options.conversion.pages;
    conversion.pages = pages.empty() ? nullptr : pages.c_str();
    // A multi-page TIFF to an output of one picture: with --pages, a file a
    // page (NAME-N.png); without, the first page and a word on the others.
    const qpbm_format to = output_format(job.format, conversion);
    const bool one_picture =
        to != QPBM_FORMAT_TIFF && to != QPBM_FORMAT_PDF && (to != QPBM_FORMAT_PBM || pages.empty());
    const bool counted = job.format == QPBM_FORMAT_TIFF && one_picture && look(job.open_path).regular;
    unsigned count = 1;
    if (counted && qpbm_input_pages(job.open_path.c_str(), &count, nullptr) != QPBM_OK) count = 1;
    if (!counted || pages.empty()) {
        outcome.status = qpbm_convert_ex(job.open_path.c_str(), job.output_path.c_str(), job.direction, &conversion,
                                         work, work_size, &outcome.result);
        if (outcome.status == QPBM_OK && count > 1 && conversion.page <= 1)
            outcome.note = "it has " + std::to_string(count) +
                           " pages and page 1 was converted: --pages all (or N-M) writes the others, as NAME-N files, "
                           "and a TIFF or PDF output holds them all";
        return;
    }
    conversion.pages = nullptr;
    std::vector<std::uint32_t> named = selected_pages(pages, count);
    // A page past the last goes first: refused with the count, before any page is written.
    if (!named.empty() && named.back() > count) named = {named.back()};
    for (const std::uint32_t page : named) {
        conversion.page = page;
        outcome.status = qpbm_convert_ex(job.open_path.c_str(), page_name(job.output_path, page).c_str(), job.direction,
                                         &conversion, work, work_size, &outcome.result);
        if (outcome.status != QPBM_OK) return;
    }
}

namespace {

bool output_at_fault(qpbm_status status) {
    return status == QPBM_EOPEN_OUTPUT || status == QPBM_EWRITE || status == QPBM_ECLEANUP ||
           status == QPBM_ENO_READER || status == QPBM_ESAME_FILE;
}

}  // namespace

bool reader_left(const Job& job, const Outcome& outcome) {
    return job.refusal.empty() && outcome.status == QPBM_EWRITE && outcome.result.os_error == EPIPE &&
           job.output_path == "/dev/stdout";
}

std::string report(const Job& job, const Outcome& outcome, bool verbose) {
    const std::string prefix = std::string(kProgram) + ": " + shown(job.input);
    if (!job.refusal.empty()) return prefix + ": " + job.refusal + "\n";
    if (reader_left(job, outcome)) return {};
    if (job.up_to_date) return verbose ? prefix + " -> " + shown(job.output) + " (up to date)\n" : std::string();
    const qpbm_result& r = outcome.result;
    if (outcome.status != QPBM_OK) {
        const std::string where = output_at_fault(outcome.status) ? " -> " + shown(job.output) : "";
        return prefix + where + ": " + r.message + "\n";
    }
    const std::string note = outcome.note.empty() ? std::string() : prefix + ": " + outcome.note + "\n";
    if (!verbose) return note;
    std::string facts = std::to_string(r.width) + " x " + std::to_string(r.height);
    if (r.format[0] != '\0') facts = facts + ", " + r.format;
    if (std::string(r.message).rfind("auto chose ", 0) == 0) facts = facts + "; " + r.message;
    return prefix + " -> " + shown(job.output) + " (" + facts + ")\n" + note;
}

}  // namespace tool
