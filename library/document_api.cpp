// The document calls of the qpbm C API: several pictures as the pages of
// one TIFF, PDF or PBM, in a file or in memory.
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <new>

#include "core/pages.hpp"
#include "library/api_support.hpp"
#include "library/document.hpp"
#include "library/qpbm.h"

// The handle of the document calls.
struct qpbm_document {
    qpbm::Document document;
};

using namespace qpbm::api;

namespace {

using qpbm::Direction;
using qpbm::Status;

// The document format a caller named, or false for one that is not.
bool take_document_format(qpbm_format format, qpbm::Format& to) {
    switch (stored_int(format)) {
        case QPBM_FORMAT_TIFF: to = qpbm::Format::tiff; return true;
        case QPBM_FORMAT_PDF: to = qpbm::Format::pdf; return true;
        case QPBM_FORMAT_PBM: to = qpbm::Format::pbm; return true;
        default: return false;
    }
}

// Opens a document through `open` into a new handle.
template <class Open>
qpbm_status open_handle(qpbm_format format, const qpbm_options* options, qpbm_document** document, qpbm_result* result,
                        Open open) {
    const int saved_errno = errno;
    qpbm::Facts facts;
    qpbm::Options o;
    unsigned flags = 0;
    Status status = Status::ok;
    const bool valid = document != nullptr && take_options(options, o, flags) && (flags & ~kKnownFlags) == 0 &&
                       take_document_format(format, o.to);
    if (document != nullptr) *document = nullptr;
    if (valid) {
        auto* handle = new (std::nothrow) qpbm_document;
        if (handle == nullptr) {
            status = Status::write_failed;
            facts.os_error = ENOMEM;
        } else {
            status = open(handle->document, o, facts);
            if (status == Status::ok)
                *document = handle;
            else
                delete handle;
        }
    }
    const qpbm_status code = report(valid, status, Direction::detect, facts, result);
    errno = saved_errno;
    return code;
}

// Adds an input's pages through `add`, given the caller's page selection
// and options (either may be null).
template <class Add>
qpbm_status add_input(qpbm_document* document, const char* pages, const qpbm_options* options, bool valid_input,
                      qpbm_result* result, Add add) {
    const int saved_errno = errno;
    qpbm::Facts facts;
    qpbm::PageSelection selection;
    qpbm::Options o;
    unsigned flags = 0;
    const bool valid = document != nullptr && valid_input &&
                       (pages == nullptr || qpbm::parse_pages(pages, selection)) &&
                       (options == nullptr || (take_options(options, o, flags) && (flags & ~kKnownFlags) == 0));
    Status status = Status::ok;
    if (valid) status = add(document->document, selection, facts, options != nullptr ? &o : nullptr);
    const qpbm_status code = report(valid, status, Direction::detect, facts, result);
    errno = saved_errno;
    return code;
}

}  // namespace

extern "C" {

qpbm_status qpbm_document_open(const char* output, qpbm_format format, const qpbm_options* options,
                               qpbm_document** document, qpbm_result* result) {
    return open_handle(format, options, document, result,
                       [&](qpbm::Document& d, const qpbm::Options& o, qpbm::Facts& facts) {
                           return qpbm::open_document(d, output, o.to, o, facts);
                       });
}

qpbm_status qpbm_document_open_memory(qpbm_format format, const qpbm_options* options, qpbm_document** document,
                                      qpbm_result* result) {
    return open_handle(format, options, document, result,
                       [&](qpbm::Document& d, const qpbm::Options& o, qpbm::Facts& facts) {
                           return qpbm::open_memory_document(d, o.to, o, facts);
                       });
}

qpbm_status qpbm_document_add_file_ex(qpbm_document* document, const char* input, const char* pages,
                                      const qpbm_options* options, qpbm_result* result) {
    return add_input(document, pages, options, true, result,
                     [&](qpbm::Document& d, const qpbm::PageSelection& selection, qpbm::Facts& facts,
                         const qpbm::Options* o) { return qpbm::add_document_file(d, input, selection, facts, o); });
}

qpbm_status qpbm_document_add_file(qpbm_document* document, const char* input, const char* pages, qpbm_result* result) {
    return qpbm_document_add_file_ex(document, input, pages, nullptr, result);
}

qpbm_status qpbm_document_add_memory(qpbm_document* document, const void* input, size_t input_size, const char* pages,
                                     const qpbm_options* options, qpbm_result* result) {
    return add_input(
        document, pages, options, input != nullptr || input_size == 0, result,
        [&](qpbm::Document& d, const qpbm::PageSelection& selection, qpbm::Facts& facts, const qpbm::Options* o) {
            return qpbm::add_document_memory(d, static_cast<const std::uint8_t*>(input), input_size, selection, facts,
                                             o);
        });
}

qpbm_status qpbm_document_add_pixels_ex(qpbm_document* document, const qpbm_pixels* pixels, const qpbm_options* options,
                                        qpbm_result* result) {
    qpbm::PixelSource source;
    const bool taken = take_pixels(pixels, source);
    return add_input(document, nullptr, options, taken, result,
                     [&](qpbm::Document& d, const qpbm::PageSelection&, qpbm::Facts& facts, const qpbm::Options* o) {
                         return qpbm::add_document_pixels(d, source, facts, o);
                     });
}

qpbm_status qpbm_document_add_pixels(qpbm_document* document, const qpbm_pixels* pixels, qpbm_result* result) {
    return qpbm_document_add_pixels_ex(document, pixels, nullptr, result);
}

unsigned qpbm_document_pages(const qpbm_document* document) {
    return document != nullptr ? document->document.pages : 0;
}

qpbm_status qpbm_document_close(qpbm_document* document, qpbm_result* result) {
    const int saved_errno = errno;
    qpbm::Facts facts;
    Status status = Status::ok;
    // A memory document's bytes are taken by qpbm_document_close_memory.
    const bool valid = document != nullptr && document->document.memory == nullptr;
    if (valid) {
        status = qpbm::close_document(document->document, facts);
        delete document;
    }
    const qpbm_status code = report(valid, status, Direction::detect, facts, result);
    errno = saved_errno;
    return code;
}

qpbm_status qpbm_document_close_memory(qpbm_document* document, void** output, uint64_t* output_size,
                                       qpbm_result* result) {
    const int saved_errno = errno;
    qpbm::Facts facts;
    Status status = Status::ok;
    const bool valid =
        document != nullptr && document->document.memory != nullptr && output != nullptr && output_size != nullptr;
    if (valid) {
        std::uint8_t* bytes = nullptr;
        status = qpbm::close_memory_document(document->document, bytes, *output_size, facts);
        *output = bytes;
        delete document;
    }
    const qpbm_status code = report(valid, status, Direction::detect, facts, result);
    errno = saved_errno;
    return code;
}

void qpbm_document_discard(qpbm_document* document) {
    if (document == nullptr) return;
    const int saved_errno = errno;
    qpbm::Document& d = document->document;
    if (d.failed == Status::ok) d.failed = Status::cancelled;
    qpbm::Facts facts;
    if (d.memory != nullptr) {
        std::uint8_t* bytes = nullptr;
        std::uint64_t size = 0;
        qpbm::close_memory_document(d, bytes, size, facts);
    } else {
        qpbm::close_document(d, facts);
    }
    delete document;
    errno = saved_errno;
}

void qpbm_free(void* output) { std::free(output); }

qpbm_status qpbm_input_pages(const char* input, unsigned* pages, qpbm_result* result) {
    const int saved_errno = errno;
    qpbm::Facts facts;
    Status status = Status::ok;
    std::uint32_t count = 0;
    const bool valid = pages != nullptr;
    if (valid) {
        auto* work = new (std::nothrow) qpbm::Workspace;
        if (work == nullptr) {
            status = Status::write_failed;
            facts.os_error = ENOMEM;
        } else {
            status = qpbm::count_pages(input, count, *work, facts);
            delete work;
        }
        *pages = status == Status::ok ? count : 0;
    }
    const qpbm_status code = report(valid, status, Direction::detect, facts, result);
    errno = saved_errno;
    return code;
}

}  // extern "C"
