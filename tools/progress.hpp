// The progress of a batch on standard error: on a terminal one line redrawn
// at most ten times a second, for logs a plain line every second. Standard
// output is never touched.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>

namespace tool {

struct Tally {
    std::uint64_t done = 0;              // reported, whatever the result
    std::uint64_t refused = 0;           // of those, refused or failed
    std::uint64_t bytes = 0;             // input bytes of the files converted
    std::optional<std::uint64_t> total;  // once every name has been read
};

class Progress {
public:
    enum class Form { none, redrawn, lines };
    explicit Progress(Form form);
    // Shows the tally when the last showing is old enough, or with
    // `now_anyway` when it shows a count not yet shown.
    void update(const Tally& tally, bool now_anyway = false);
    // Takes the redrawn line off the screen, before a message is written.
    void clear();

private:
    using Clock = std::chrono::steady_clock;
    std::string line(const Tally& tally, Clock::time_point now) const;

    Form form_;
    Clock::time_point start_;
    std::optional<Clock::time_point> last_;
    bool on_screen_ = false;
    std::uint64_t shown_done_ = ~std::uint64_t{0};  // the count last shown
};

}  // namespace tool
