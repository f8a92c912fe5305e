// The reader thread's ring: whatever the pieces' sizes and forms, and when
// the values are made from samples in the deciding thread, the sink sees the
// pieces of a one-thread read, in order, with the same bytes; a sink
// that fails stops the reader; a reader that fails reports its own status.
// The same-bytes checks of whole conversions are in the codec tests.
#include "convert/read_thread.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "decide/methods.hpp"

namespace qpbm_test {
namespace {

using qpbm::ReadRequest;
using qpbm::RowForm;
using qpbm::Status;

// Rows of `width` pixels in pieces of at most `piece`, each byte a function
// of its place. As the codec readers do, a values piece for whole rows goes
// at its place in request.row. It fails after `fail_after` pieces if set.
class CountingReader final : public qpbm::Reader {
public:
    CountingReader(RowForm form, std::size_t width, std::size_t height, std::size_t piece)
        : form_(form), width_(width), height_(height), piece_(piece) {}

    Status check(std::FILE*, const ReadRequest&, qpbm::Picture&, qpbm::Facts&) override { return Status::ok; }

    Status read(std::FILE*, const ReadRequest& request, qpbm::RowSink& sink) override {
        if (samples) return read_samples(request, sink);
        std::vector<std::uint8_t> own(piece_);
        for (std::size_t y = 0; y < height_; ++y)
            for (std::size_t first = 0; first < width_; first += piece_) {
                const std::size_t count = std::min(piece_, width_ - first);
                const std::size_t bytes = form_ == RowForm::bits ? (count + 7) / 8 : count;
                std::uint8_t* at = form_ == RowForm::values && request.whole_rows ? request.row + first : own.data();
                for (std::size_t i = 0; i < bytes; ++i) at[i] = static_cast<std::uint8_t>(y * 31 + first + i * 7);
                if (pieces == fail_after) return Status::read_failed;
                ++pieces;
                if (!sink.take(y, first, at, count)) return Status::write_failed;
            }
        return Status::ok;
    }

    // Two samples a pixel, made into values as the codec readers do: decoded
    // into the sink's room where it has some, else made here in pieces.
    Status read_samples(const ReadRequest& request, qpbm::RowSink& sink) {
        const qpbm::SampleRow how{make, {}, 2, piece_};
        std::vector<std::uint8_t> own(width_ * 2), values(piece_);
        for (std::size_t y = 0; y < height_; ++y) {
            std::uint8_t* room = sink.room(width_ * 2);
            std::uint8_t* at = room != nullptr ? room : own.data();
            for (std::size_t i = 0; i < width_ * 2; ++i) at[i] = static_cast<std::uint8_t>(y * 5 + i * 3);
            if (room != nullptr) {
                ++rooms;
                if (!sink.take_samples(y, width_, how)) return Status::write_failed;
                continue;
            }
            for (std::size_t first = 0; first < width_; first += piece_) {
                const std::size_t count = std::min(piece_, width_ - first);
                std::uint8_t* out = request.whole_rows ? request.row + first : values.data();
                make(at + 2 * first, count, out, {});
                if (!sink.take(y, first, out, count)) return Status::write_failed;
            }
        }
        return Status::ok;
    }

    static void make(const std::uint8_t* samples, std::size_t count, std::uint8_t* values, qpbm::ValueRule) {
        for (std::size_t i = 0; i < count; ++i)
            values[i] = static_cast<std::uint8_t>(samples[2 * i] ^ samples[2 * i + 1]);
    }

    bool samples = false;
    std::size_t rooms = 0;  // rows decoded into the sink's room
    std::size_t pieces = 0;
    std::size_t fail_after = SIZE_MAX;

private:
    RowForm form_;
    std::size_t width_, height_, piece_;
};

struct Piece {
    std::size_t y, first, count;
    std::vector<std::uint8_t> bytes;
    bool operator==(const Piece&) const = default;
};

// Keeps every piece; for whole rows, the whole row so far, as the decision
// stage reads it from request.row. Fails at piece `fail_at` if set.
class Recorder final : public qpbm::RowSink {
public:
    Recorder(RowForm form, const std::uint8_t* whole) : form_(form), whole_(whole) {}
    bool take(std::size_t y, std::size_t first, const std::uint8_t* row, std::size_t count) override {
        if (pieces.size() == fail_at) return false;
        const std::size_t bytes = form_ == RowForm::bits ? (count + 7) / 8 : count;
        if (whole_ != nullptr) {
            EXPECT_EQ(row, whole_ + first);  // at its place in the row
            row = whole_;
            count = first + count;
        }
        pieces.push_back({y, first, count, std::vector<std::uint8_t>(row, row + (whole_ ? count : bytes))});
        return true;
    }
    std::vector<Piece> pieces;
    std::size_t fail_at = SIZE_MAX;

private:
    RowForm form_;
    const std::uint8_t* whole_;
};

struct Shape {
    const char* name;
    RowForm form;
    std::size_t width, height, piece;
    bool whole_rows;
    bool samples = false;
};

// Many pieces to a chunk; a piece too big for two to share one; pieces of a
// whole row; bits.
const Shape kShapes[] = {
    {"narrow values", RowForm::values, 37, 5000, 37, false},
    {"wide values", RowForm::values, qpbm::kMaxRowMethodWidth, 9, qpbm::kMaxRowMethodWidth, false},
    {"whole rows in pieces", RowForm::values, 100000, 40, 30000, true},
    {"bits", RowForm::bits, 70001, 300, 8192, false},
    {"samples", RowForm::values, 50000, 40, 16384, false, true},
    {"samples, whole rows", RowForm::values, 50000, 40, 16384, true, true},
};

std::vector<Piece> serial_pieces(const Shape& s, std::vector<std::uint8_t>& row) {
    CountingReader reader(s.form, s.width, s.height, s.piece);
    reader.samples = s.samples;
    Recorder sink(s.form, s.whole_rows ? row.data() : nullptr);
    ReadRequest request;
    request.whole_rows = s.whole_rows;
    request.row = row.data();
    EXPECT_EQ(reader.read(nullptr, request, sink), Status::ok);
    return sink.pieces;
}

TEST(ReadThread, HandsOverThePiecesOfAOneThreadRead) {
    for (const Shape& s : kShapes) {
        SCOPED_TRACE(s.name);
        std::vector<std::uint8_t> row(qpbm::kMaxRowMethodWidth);
        const std::vector<Piece> expected = serial_pieces(s, row);
        CountingReader reader(s.form, s.width, s.height, s.piece);
        reader.samples = s.samples;
        Recorder sink(s.form, s.whole_rows ? row.data() : nullptr);
        ReadRequest request;
        request.whole_rows = s.whole_rows;
        request.row = row.data();
        bool started = false;
        EXPECT_EQ(qpbm::read_in_thread(reader, nullptr, request, s.form, sink, started), Status::ok);
        EXPECT_TRUE(started);
        EXPECT_EQ(reader.rooms, s.samples ? s.height : 0);  // no copy where the reader offers samples
        EXPECT_EQ(sink.pieces.size(), expected.size());
        EXPECT_TRUE(sink.pieces == expected);
    }
}

TEST(ReadThread, AFailingSinkStopsTheReader) {
    // Far more pieces than the ring holds.
    const Shape s = {"tall", RowForm::values, 37, 200000, 37, false};
    CountingReader reader(s.form, s.width, s.height, s.piece);
    Recorder sink(s.form, nullptr);
    sink.fail_at = 10;
    ReadRequest request;
    bool started = false;
    EXPECT_EQ(qpbm::read_in_thread(reader, nullptr, request, s.form, sink, started), Status::write_failed);
    EXPECT_EQ(sink.pieces.size(), 10u);
    // The reader ran ahead by at most the ring (a piece and its head take 64
    // bytes), not to the picture's end.
    const std::size_t per_chunk = qpbm::kReadChunkSize / 64;
    EXPECT_LE(reader.pieces, 10 + (qpbm::kReadChunks + 1) * per_chunk);
}

TEST(ReadThread, AFailingReaderKeepsItsStatusAndItsRowsBefore) {
    const Shape& s = kShapes[0];
    CountingReader reader(s.form, s.width, s.height, s.piece);
    reader.fail_after = 1234;
    Recorder sink(s.form, nullptr);
    ReadRequest request;
    bool started = false;
    EXPECT_EQ(qpbm::read_in_thread(reader, nullptr, request, s.form, sink, started), Status::read_failed);
    EXPECT_EQ(sink.pieces.size(), 1234u);
}

}  // namespace
}  // namespace qpbm_test
