// Upright, turned, flipped: the layout the output takes, and a writer that
// gives it the decided bits in that layout.
//
// The decision stage decides the rows as they are stored, so a threshold
// method's bits are those of the upright picture; an error-diffusing or
// ordered dither spreads along the stored rows. Turning or flipping needs
// the bits in another order than they come, so they are held, one bit a
// pixel (the output's own bits), until the last row is in; a mirror alone
// reverses each row as it comes and holds one. No turn costs nothing: the
// joiner then hands the rows to the writer as before.
#pragma once

#include <cstddef>
#include <cstdint>

#include "core/limits.hpp"
#include "write/writer.hpp"

namespace qpbm {

// One of the eight layouts of a rectangle. The output is the stored picture
// with rows and columns swapped (a transpose) when `swap`, then reversed
// left to right when `mirror`, then top to bottom when `flip`.
struct Turn {
    bool swap = false;
    bool mirror = false;
    bool flip = false;

    bool identity() const { return !swap && !mirror && !flip; }
    bool operator==(const Turn&) const = default;
};

// What undoes the layout of an EXIF or TIFF orientation (1 to 8; any other
// value as 1): orientation 6, the picture lying on its left side, is a
// quarter turn clockwise.
Turn turn_of_orientation(unsigned orientation);
// `quarters` quarter turns clockwise.
Turn turn_of_quarters(unsigned quarters);
// `first`, then `second`.
Turn then(Turn first, Turn second);

// The whole layout a conversion asks for: the input's orientation unless
// Options::auto_orient is off, then Options::rotate, then the flip and the
// mirror.
Turn turn_for(const Options& options, unsigned orientation);

// The output's resolution: Options::dpi_x and dpi_y when given (they are
// the output's own axes), else the input's, across and down swapped with
// the axes.
Resolution output_resolution(const Options& options, const Resolution& input, Turn turn);

// A turned or flipped picture is held whole, a bit a pixel, up to this many pixels.
inline constexpr std::uint64_t kMaxTurnPixels = kMaxHeldPixels;

// Takes the stored rows, gives `out` the rows of the turned picture: all at
// once when the last stored row is in (in the check phase for a writer
// that gathers, as the rows then come there). `out`'s check sees the turned
// size; its resolution is the joiner's to set.
class TurnWriter final : public Writer {
public:
    TurnWriter(Writer& out, Turn turn) : out_(out), turn_(turn) {}
    ~TurnWriter() override;
    TurnWriter(const TurnWriter&) = delete;
    TurnWriter& operator=(const TurnWriter&) = delete;

    Status check(std::int32_t width, std::int32_t height, bool output_seekable, Facts& facts) override;
    void set_resolution(const Resolution& resolution) override { out_.set_resolution(resolution); }
    bool gathers() const override { return out_.gathers(); }
    Status begin(std::FILE* out) override { return out_.begin(out); }
    bool take(std::size_t y, std::size_t first, const std::uint8_t* bits, std::size_t count) override;
    Status finish() override;
    void abandon() override;
    bool takes_pages() const override { return out_.takes_pages(); }
    Status next_page() override { return out_.next_page(); }
    Status end_page() override;

private:
    bool whole() const;
    bool emit();
    bool send(std::size_t y, const std::uint8_t* row);
    void release();

    Writer& out_;
    Turn turn_;
    std::size_t width_ = 0, height_ = 0;          // stored
    std::size_t out_width_ = 0, out_height_ = 0;  // turned
    std::size_t pitch_ = 0, out_pitch_ = 0;       // bytes a row of each
    std::uint8_t* image_ = nullptr;               // the stored rows; one row for a mirror alone
    std::uint8_t* rows_ = nullptr;                // eight turned rows, then one reversed
    bool sent_ = false;
};

}  // namespace qpbm
