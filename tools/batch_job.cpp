#include "batch_job.hpp"

#include <cerrno>

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

qpbm_status convert(const Options& options, const Job& job, bool alone, void* work, std::size_t work_size,
                    qpbm_result* result) {
    qpbm_options conversion = options.conversion.api;
    conversion.flags |= options.fsync ? QPBM_FLAG_FSYNC : 0u;
    conversion.flags |= alone && options.reader_thread ? QPBM_FLAG_THREAD : 0u;
    conversion.permissions &= job.permissions;
    return qpbm_convert_ex(job.open_path.c_str(), job.output_path.c_str(), job.direction, &conversion, work, work_size,
                           result);
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
    if (!verbose) return {};
    std::string facts = std::to_string(r.width) + " x " + std::to_string(r.height);
    if (r.format[0] != '\0') facts = facts + ", " + r.format;
    if (std::string(r.message).rfind("auto chose ", 0) == 0) facts = facts + "; " + r.message;
    return prefix + " -> " + shown(job.output) + " (" + facts + ")\n";
}

}  // namespace tool
