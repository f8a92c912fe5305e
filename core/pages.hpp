// Which pages of a multi-page input to take, as --pages writes them: "all",
// or page numbers counted from 1 and ranges of them, separated by commas
// ("3", "2-5", "1,3,7-9"), taken in the order written.
#pragma once

#include <cstddef>
#include <cstdint>

namespace qpbm {

struct PageRange {
    std::uint32_t first = 1;  // from 1
    std::uint32_t last = 1;   // first or more
};

inline constexpr std::size_t kMaxPageRanges = 64;

struct PageSelection {
    bool all = true;  // every page, in order; `ranges` otherwise
    std::size_t count = 0;
    PageRange ranges[kMaxPageRanges];

    // How many pages a selection names of an input of `pages` pages, each
    // past the last included.
    std::uint64_t size(std::uint32_t pages) const {
        if (all) return pages;
        std::uint64_t n = 0;
        for (std::size_t i = 0; i < count; ++i) n += std::uint64_t{ranges[i].last} - ranges[i].first + 1;
        return n;
    }
    // Calls take(page) for each page named, from 1, until it returns false.
    template <class Take>
    bool each(std::uint32_t pages, Take take) const {
        if (all) {
            for (std::uint32_t p = 1; p <= pages; ++p)
                if (!take(p)) return false;
            return true;
        }
        for (std::size_t i = 0; i < count; ++i)
            for (std::uint64_t p = ranges[i].first; p <= ranges[i].last; ++p)
                if (!take(static_cast<std::uint32_t>(p))) return false;
        return true;
    }
};

// Reads `text` into `selection`; false for anything but the forms above
// (a page 0, a range that runs backwards, more than kMaxPageRanges parts).
inline bool parse_pages(const char* text, PageSelection& selection) {
    selection = {};
    if (text == nullptr) return false;
    if (text[0] == 'a' && text[1] == 'l' && text[2] == 'l' && text[3] == '\0') return true;
    selection.all = false;
    auto number = [&](std::uint32_t& n) {
        if (*text < '0' || *text > '9') return false;
        std::uint64_t v = 0;
        while (*text >= '0' && *text <= '9') {
            v = v * 10 + static_cast<unsigned>(*text++ - '0');
            if (v > UINT32_MAX) return false;
        }
        n = static_cast<std::uint32_t>(v);
        return n > 0;
    };
    while (true) {
        if (selection.count == kMaxPageRanges) return false;
        PageRange& r = selection.ranges[selection.count++];
        if (!number(r.first)) return false;
        r.last = r.first;
        if (*text == '-' && (++text, !number(r.last) || r.last < r.first)) return false;
        if (*text == '\0') return true;
        if (*text++ != ',') return false;
    }
}

}  // namespace qpbm
