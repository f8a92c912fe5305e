#include "convert/read_thread.hpp"

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
};

constexpr std::size_t kHeadSize = sizeof(PieceHead);
constexpr std::size_t kPieceAlign = 8;

std::size_t piece_bytes(RowForm form, std::size_t count) { return form == RowForm::bits ? (count + 7) / 8 : count; }

std::size_t aligned(std::size_t n) { return (n + kPieceAlign - 1) / kPieceAlign * kPieceAlign; }

// The ring between the reading thread (which fills chunks, as a RowSink) and
// the deciding one (which drains them into the real sink).
class Ring final : public RowSink {
public:
    Ring(unsigned char* chunks, RowForm form) : chunks_(chunks), form_(form) {}

    // ---- the reading thread --------------------------------------------------

    bool take(std::size_t y, std::size_t first, const std::uint8_t* row, std::size_t count) override {
        if (stopped_.load(std::memory_order_relaxed)) return false;
        const std::size_t bytes = piece_bytes(form_, count);
        const std::size_t need = kHeadSize + aligned(bytes);
        if (need > kReadChunkSize) return false;  // past every reader's piece size
        if (fill_ == nullptr || used_ + need > kReadChunkSize) {
            publish();
            if (!acquire()) return false;
        }
        const PieceHead head{y, first, count};
        std::memcpy(fill_ + used_, &head, kHeadSize);
        std::memcpy(fill_ + used_ + kHeadSize, row, bytes);
        used_ += need;
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
    // place in `whole` first, as a one-thread read would have put it.
    bool drain(RowSink& sink, std::uint8_t* whole) {
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
                const std::size_t bytes = piece_bytes(form_, head.count);
                const std::uint8_t* row = chunk + at + kHeadSize;
                if (whole != nullptr) {
                    std::memcpy(whole + head.first, row, bytes);
                    row = whole + head.first;
                }
                if (!sink.take(head.y, head.first, row, head.count)) {
                    stop();
                    return false;
                }
                at += kHeadSize + aligned(bytes);
            }
            const std::lock_guard<std::mutex> hold(lock_);
            ++drained_;
            drained_or_stopped_.notify_one();
        }
    }

private:
    unsigned char* chunk_at(std::uint64_t n) const { return chunks_ + (n % kReadChunks) * kReadChunkSize; }

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
    // The chunks, then the reader's own whole-row buffer.
    const std::unique_ptr<unsigned char[]> memory(
        new (std::nothrow) unsigned char[kReadChunks * kReadChunkSize + kMaxRowMethodWidth]);
    if (!memory) return Status::ok;
    Ring ring(memory.get(), form);
    ReadRequest own = request;
    own.row = memory.get() + kReadChunks * kReadChunkSize;
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
    const bool drained = ring.drain(sink, request.whole_rows ? request.row : nullptr);
    reading.join();
    return drained ? read_status : Status::write_failed;
}

}  // namespace qpbm
