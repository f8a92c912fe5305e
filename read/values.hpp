// Pixel values for the decision stage, from 8-bit samples: what every reader
// whose format stores colour or grey samples hands over. A value is the
// pixel's luma Y = (299 R + 587 G + 114 B) div 1000, or, for the channels
// rule, 255 when every channel reaches the threshold and 0 when one does not.
#pragma once

#include <cstddef>
#include <cstdint>

#include "core/pbm_format.hpp"
#include "decide/methods.hpp"

namespace qpbm {

struct ValueRule {
    bool luma = false;            // luma values, else channel flags
    unsigned level = kThreshold;  // the channels rule: white when each channel reaches this
};

inline ValueRule value_rule(const Options& options) {
    const bool channels = options.method == Method::channels;
    return {!channels, channels ? options.threshold : kThreshold};
}

// `count` pixels of blue, green, red bytes. Uses the widest vector
// instructions the processor offers.
void bgr_values(const std::uint8_t* pixels, std::size_t count, std::uint8_t* values, ValueRule rule);
// The same with only the instructions every processor of the target has.
void bgr_values_portable(const std::uint8_t* pixels, std::size_t count, std::uint8_t* values, ValueRule rule);
// `count` pixels of red, green, blue bytes.
void rgb_values(const std::uint8_t* pixels, std::size_t count, std::uint8_t* values, ValueRule rule);
// `count` grey samples: each channel is the sample, and so is the luma.
void grey_values(const std::uint8_t* samples, std::size_t count, std::uint8_t* values, ValueRule rule);

}  // namespace qpbm
