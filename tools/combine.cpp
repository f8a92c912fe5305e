#include "combine.hpp"

#include <qpbm.h>

#include <algorithm>
#include <string>
#include <vector>

#include "console.hpp"
#include "names.hpp"

namespace tool {

namespace {

constexpr int kExitConverted = 0;
constexpr int kExitRefused = 1;
constexpr int kExitUsage = 2;

// The path the library reads for a name: standard input by its descriptor.
std::string opened(const std::string& name) { return name == kStdio ? "/dev/stdin" : name; }

}  // namespace

int run_combine(const Options& options) {
    const std::string& output = *options.combine;
    Names names(options, FileInfo{});
    std::string error;
    if (!names.open(error)) {
        say(std::string(kProgram) + ": " + error + "\n");
        return kExitUsage;
    }
    // The names first, so that a tree's files go in sorted order and a name
    // that cannot be used is found before anything is written.
    std::vector<Name> inputs;
    for (Name name; names.next(name);) {
        if (!name.refusal.empty()) {
            say(std::string(kProgram) + ": " + shown(name.input) + ": " + name.refusal + "\n");
            return kExitRefused;
        }
        inputs.push_back(std::move(name));
    }
    for (auto run = inputs.begin(); run != inputs.end();) {
        auto end = std::find_if(run, inputs.end(), [](const Name& n) { return n.under.empty(); });
        if (run == end) {
            ++run;
            continue;
        }
        std::sort(run, end, [](const Name& a, const Name& b) { return a.input < b.input; });
        run = end;
    }
    if (inputs.empty()) {
        say(std::string(kProgram) + ": no input files to combine\n");
        return kExitUsage;
    }

    qpbm_options api = options.conversion.api;
    api.flags |= options.fsync ? QPBM_FLAG_FSYNC : 0u;
    const char* pages = options.conversion.pages.empty() ? nullptr : options.conversion.pages.c_str();
    const std::string target = output == kStdio ? "/dev/stdout" : output;
    const std::string shown_output = output == kStdio ? "standard output" : shown(output);
    qpbm_document* document = nullptr;
    qpbm_result result{};
    if (qpbm_document_open(target.c_str(), api.to, &api, &document, &result) != QPBM_OK) {
        say(std::string(kProgram) + ": " + shown_output + ": " + result.message + "\n");
        return kExitRefused;
    }
    for (const Name& name : inputs) {
        if (qpbm_document_add_file(document, opened(name.input).c_str(), pages, &result) != QPBM_OK) {
            qpbm_document_discard(document);
            say(std::string(kProgram) + ": " + shown(name.input) + ": " + result.message + "; nothing written to " +
                shown_output + "\n");
            return kExitRefused;
        }
        if (options.verbose)
            say(std::string(kProgram) + ": " + shown(name.input) + " -> " + shown_output + " (" +
                std::to_string(result.width) + " x " + std::to_string(result.height) + ")\n");
    }
    const unsigned added = qpbm_document_pages(document);
    if (qpbm_document_close(document, &result) != QPBM_OK) {
        say(std::string(kProgram) + ": " + shown_output + ": " + result.message + "\n");
        return kExitRefused;
    }
    if (options.verbose)
        say(std::string(kProgram) + ": " + shown_output + ": " + std::to_string(added) + " page" +
            (added == 1 ? "" : "s") + " from " + std::to_string(inputs.size()) + " input" +
            (inputs.size() == 1 ? "" : "s") + "\n");
    return kExitConverted;
}

}  // namespace tool
