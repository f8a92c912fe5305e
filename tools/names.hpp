// Where a batch's input names come from: the command line, then a list of
// names (--files-from), and with --recursive the files of every directory
// among them. Names are handed out one at a time, so that neither a list nor
// a tree is ever held whole: memory stays that of one name per open level.
#pragma once

#include <qpbm.h>

#include <atomic>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <thread>

#include "files.hpp"
#include "options.hpp"

namespace tool {

struct Name {
    std::string input;
    std::string under;    // a file found in a tree: its path below the tree's top
    std::string refusal;  // a name that cannot be used, and why
    bool listed = false;  // from the list or a tree, not the command line
};

class Names {
public:
    // `output_dir` is left out of every tree walked.
    Names(const Options& options, const FileInfo& output_dir);
    ~Names();
    Names(const Names&) = delete;
    Names& operator=(const Names&) = delete;

    // Opens the list, if any; false with `error` set when it cannot be read.
    bool open(std::string& error);
    // The next name; false when there are no more.
    bool next(Name& name);
    // Files in trees that are not pictures by their names, passed over.
    std::uint64_t skipped() const { return skipped_; }
    // How many names there are, once known: a list in a file is counted
    // ahead on a thread of its own; a pipe or a tree is known at its end.
    std::optional<std::uint64_t> total() const;

private:
    struct Tree;
    bool next_from_list(std::string& name, std::string& error);
    bool is_picture_name(const std::string& name) const;

    const Options& options_;
    FileInfo output_dir_;
    std::size_t next_path_ = 0;
    int list_fd_ = -1;
    bool list_ended_ = false;
    std::unique_ptr<char[]> buffer_;
    std::size_t buffered_ = 0, used_ = 0;
    std::uint64_t names_read_ = 0;  // names (lines) of the list taken so far, empty ones too
    std::unique_ptr<Tree> tree_;
    std::uint64_t skipped_ = 0;
    std::atomic<std::int64_t> counted_{-1};  // names in the list file; -1 until counted
    std::atomic<bool> stop_counting_{false};
    std::thread counter_;
};

}  // namespace tool
