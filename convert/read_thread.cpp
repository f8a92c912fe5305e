#include "convert/read_thread.hpp"

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <cstring>
#include <memory>
#include <mutex>
#include <new>
#include <system_error>
#include <thread>

#include "decide/methods.hpp"

namespace qpbm {

namespace {

// What precedes a piece's bytes in a chunk.
struct PieceHead {
    std::size_t y;
    std::size_t first;
    std::size_t count;
    SampleRow samples;  // a row of samples when `make` is set, else a piece of values or bits
};

constexpr std::size_t kHeadSize = sizeof(PieceHead);
constexpr std::size_t kPieceAlign = 8;

std::size_t piece_bytes(RowForm form, std::size_t count) { return form == RowForm::bits ? (count + 7) / 8 : count; }

std::size_t aligned(std::size_t n) { return (n + kPieceAlign - 1) / kPieceAlign * kPieceAlign; }

std::size_t record_bytes(RowForm form, const PieceHead& head) {
    return head.samples.make != nullptr ? head.count * head.samples.bytes_per_pixel : piece_bytes(form, head.count);
}

// A piece as the reader made it, at its place in the whole row if the sink
// reads whole rows.
bool take_piece(RowSink& sink, RowForm form, const PieceHead& head, const std::uint8_t* row, std::uint8_t* whole) {
    if (whole != nullptr) {
        std::memcpy(whole + head.first, row, piece_bytes(form, head.count));
        row = whole + head.first;
    }
    return sink.take(head.y, head.first, row, head.count);
}

// A row of samples made into values here, in the reader's pieces.
bool take_values(RowSink& sink, const PieceHead& head, const std::uint8_t* samples, std::uint8_t* whole,
                 std::uint8_t* scratch) {
    const SampleRow& how = head.samples;
    for (std::size_t first = 0; first < head.count; first += how.piece) {
        const std::size_t count = std::min(how.piece, head.count - first);
        std::uint8_t* values = whole != nullptr ? whole + first : scratch;
        how.make(samples + first * how.bytes_per_pixel, count, values, how.rule);
        if (!sink.take(head.y, first, values, count)) return false;
    }
    return true;
}

// The ring between the reading thread (which fills chunks, as a RowSink) and
// the deciding one (which drains them into the real sink).
class Ring final : public RowSink {
public:
    Ring(unsigned char* chunks, RowForm form) : chunks_(chunks), form_(form) {}

    // ---- the reading thread --------------------------------------------------

    bool take(std::size_t y, std::size_t first, const std::uint8_t* row, std::size_t count) override {
        const std::size_t bytes = piece_bytes(form_, count);
        if (!make_room(bytes)) return false;
        const PieceHead head{y, first, count, {}};
        std::memcpy(fill_ + used_, &head, kHeadSize);
        std::memcpy(fill_ + used_ + kHeadSize, row, bytes);
        used_ += kHeadSize + aligned(bytes);
        return true;
    }

    // The reader decodes a row straight into the chunk: no copy, and the
    // values are made in the deciding thread.
    std::uint8_t* room(std::size_t bytes) override {
        if (form_ != RowForm::values || !make_room(bytes)) return nullptr;
        roomy_ = bytes;
        return fill_ + used_ + kHeadSize;
    }

    bool take_samples(std::size_t y, std::size_t count, const SampleRow& how) override {
        const std::size_t bytes = count * how.bytes_per_pixel;
        if (fill_ == nullptr || bytes != roomy_ || how.make == nullptr || how.piece == 0 ||
            how.piece > kMaxRowMethodWidth)
            return false;
        roomy_ = 0;
        const PieceHead head{y, 0, count, how};
        std::memcpy(fill_ + used_, &head, kHeadSize);
        used_ += kHeadSize + aligned(bytes);
        return true;
    }

    // After the read, whatever its status: the last chunk goes over.
    void end() {
        publish();
        const std::lock_guard<std::mutex> hold(lock_);
        ended_ = true;
        drained_or_stopped_.notify_one();
        filled_or_ended_.notify_one();
    }

    // ---- the deciding thread -------------------------------------------------

    // Hands every piece to `sink`. For whole rows, each piece is put at its
    // place in `whole` first, as a one-thread read would have put it; values
    // made from samples go to `scratch` otherwise.
    bool drain(RowSink& sink, std::uint8_t* whole, std::uint8_t* scratch) {
        for (;;) {
            std::size_t size;
            const unsigned char* chunk;
            {
                std::unique_lock<std::mutex> hold(lock_);
                filled_or_ended_.wait(hold, [&] { return filled_ > drained_ || ended_; });
                if (filled_ == drained_) return true;
                chunk = chunk_at(drained_);
                size = sizes_[drained_ % kReadChunks];
            }
            for (std::size_t at = 0; at < size;) {
                PieceHead head;
                std::memcpy(&head, chunk + at, kHeadSize);
                const std::uint8_t* bytes = chunk + at + kHeadSize;
                const bool taken = head.samples.make != nullptr ? take_values(sink, head, bytes, whole, scratch)
                                                                : take_piece(sink, form_, head, bytes, whole);
                if (!taken) {
                    stop();
                    return false;
                }
                at += kHeadSize + aligned(record_bytes(form_, head));
            }
            const std::lock_guard<std::mutex> hold(lock_);
            ++drained_;
            drained_or_stopped_.notify_one();
        }
    }

private:
    unsigned char* chunk_at(std::uint64_t n) const { return chunks_ + (n % kReadChunks) * kReadChunkSize; }

    // Room for a head and `bytes` in the chunk being filled, or in the next.
    bool make_room(std::size_t bytes) {
        if (stopped_.load(std::memory_order_relaxed)) return false;
        const std::size_t need = kHeadSize + aligned(bytes);
        if (need > kReadChunkSize) return false;  // past every reader's piece and row
        if (fill_ == nullptr || used_ + need > kReadChunkSize) {
            publish();
            if (!acquire()) return false;
        }
        return true;
    }

    void publish() {
        if (fill_ == nullptr) return;
        const std::lock_guard<std::mutex> hold(lock_);
        sizes_[filled_ % kReadChunks] = used_;
        ++filled_;
        fill_ = nullptr;
        filled_or_ended_.notify_one();
    }

    // Waits for a chunk the deciding thread is done with.
    bool acquire() {
        std::unique_lock<std::mutex> hold(lock_);
        drained_or_stopped_.wait(hold, [&] { return filled_ - drained_ < kReadChunks || stopped_.load(); });
        if (stopped_.load()) return false;
        fill_ = chunk_at(filled_);
        used_ = 0;
        return true;
    }

    void stop() {
        const std::lock_guard<std::mutex> hold(lock_);
        stopped_.store(true);
        drained_or_stopped_.notify_one();
    }

    unsigned char* const chunks_;
    const RowForm form_;
    // The reading thread's own.
    unsigned char* fill_ = nullptr;
    std::size_t used_ = 0;
    std::size_t roomy_ = 0;  // the bytes room() made room for
    // Shared, under lock_ (stopped_ is also peeked at without it).
    std::mutex lock_;
    std::condition_variable filled_or_ended_;
    std::condition_variable drained_or_stopped_;
    std::uint64_t filled_ = 0;   // chunks handed over
    std::uint64_t drained_ = 0;  // chunks given back
    std::size_t sizes_[kReadChunks] = {};
    bool ended_ = false;
    std::atomic<bool> stopped_{false};
};

}  // namespace

Status read_in_thread(Reader& reader, std::FILE* in, const ReadRequest& request, RowForm form, RowSink& sink,
                      bool& started) {
    started = false;
    // The chunks, the reader's own whole-row buffer, and this thread's
    // values of a piece made from samples.
    constexpr std::size_t kRingBytes = kReadChunks * kReadChunkSize;
    const std::unique_ptr<unsigned char[]> memory(
        new (std::nothrow) unsigned char[kRingBytes + 2 * kMaxRowMethodWidth]);
    if (!memory) return Status::ok;
    Ring ring(memory.get(), form);
    ReadRequest own = request;
    own.row = memory.get() + kRingBytes;
    std::uint8_t* scratch = memory.get() + kRingBytes + kMaxRowMethodWidth;
    Status read_status = Status::ok;
    std::thread reading;
    try {
        reading = std::thread([&] {
            read_status = reader.read(in, own, ring);
            ring.end();
        });
    } catch (const std::system_error&) {
        return Status::ok;
    }
    started = true;
    const bool drained = ring.drain(sink, request.whole_rows ? request.row : nullptr, scratch);
    reading.join();
    return drained ? read_status : Status::write_failed;
}

}  // namespace qpbm
