#include "progress.hpp"

#include <cmath>
#include <cstdio>

#include "console.hpp"

namespace tool {

namespace {
// A terminal line redrawn faster than this flickers and costs the writes;
// a log line a second is as much as anyone reads.
constexpr auto kRedrawEvery = std::chrono::milliseconds(100);
constexpr auto kLineEvery = std::chrono::seconds(1);
}  // namespace

Progress::Progress(Form form) : form_(form), start_(Clock::now()) {}

std::string Progress::line(const Tally& t, Clock::time_point now) const {
    const double seconds = std::chrono::duration<double>(now - start_).count();
    const double files_per_s = seconds > 0 ? static_cast<double>(t.done) / seconds : 0;
    const double mb_per_s = seconds > 0 ? static_cast<double>(t.bytes) / 1e6 / seconds : 0;
    char text[160];
    int n = t.total ? std::snprintf(text, sizeof text, "%llu/%llu done", static_cast<unsigned long long>(t.done),
                                    static_cast<unsigned long long>(*t.total))
                    : std::snprintf(text, sizeof text, "%llu done", static_cast<unsigned long long>(t.done));
    n += std::snprintf(text + n, sizeof text - n, ", %llu refused, %.0f files/s, %.1f MB/s",
                       static_cast<unsigned long long>(t.refused), files_per_s, mb_per_s);
    if (t.total && files_per_s > 0 && *t.total >= t.done) {
        const auto eta =
            static_cast<unsigned long long>(std::ceil(static_cast<double>(*t.total - t.done) / files_per_s));
        std::snprintf(text + n, sizeof text - n, ", ETA %llu:%02llu:%02llu", eta / 3600, eta / 60 % 60, eta % 60);
    }
    return text;
}

void Progress::update(const Tally& tally, bool now_anyway) {
    if (form_ == Form::none) return;
    const Clock::time_point now = Clock::now();
    const auto every = form_ == Form::redrawn ? Clock::duration(kRedrawEvery) : Clock::duration(kLineEvery);
    if (now_anyway ? tally.done == shown_done_ : last_ && now - *last_ < every) return;
    shown_done_ = tally.done;
    last_ = now;
    if (form_ == Form::redrawn) {
        std::string text(1, '\r');  // back to the start of the line, then rub out what is left
        text += line(tally, now);
        text += "\033[K";
        say(text);
        on_screen_ = true;
    } else {
        say(std::string(kProgram) + ": " + line(tally, now) + "\n");
    }
}

void Progress::clear() {
    if (on_screen_) say("\r\033[K");
    on_screen_ = false;
}

}  // namespace tool
