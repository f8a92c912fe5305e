#include "convert/convert.hpp"

#include <cstdio>

namespace qpbm {

Format output_format(const ReaderKind& reader, const Options& options) {
    return options.to != Format::automatic ? options.to : reader.becomes;
}

namespace {

ThreadedRead threaded_read = nullptr;

}  // namespace

void set_threaded_read(ThreadedRead read) { threaded_read = read; }

namespace {

// Passes rows on until the caller's cancel flag is set, looked at as each
// row begins; then refuses them, which stops the reader. Tells the caller's
// progress function as every hundredth of the `rows` begins.
class WatchedSink final : public RowSink {
public:
    WatchedSink(RowSink& to, const Options& options, std::uint64_t rows) : to_(to), options_(options), rows_(rows) {}
    bool take(std::size_t y, std::size_t first, const std::uint8_t* row, std::size_t count) override {
        if (first == 0) tell(y);
        return !(first == 0 && stop()) && to_.take(y, first, row, count);
    }
    std::uint8_t* room(std::size_t bytes) override { return to_.room(bytes); }
    bool take_samples(std::size_t y, std::size_t count, const SampleRow& how) override {
        tell(y);
        return !stop() && to_.take_samples(y, count, how);
    }
    bool cancelled() const { return cancelled_; }
    void tell(std::uint64_t done) const { tell_progress(options_, done, rows_); }

private:
    bool stop() {
        cancelled_ = cancelled_ || cancel_requested(options_);
        return cancelled_;
    }

    RowSink& to_;
    const Options& options_;
    std::uint64_t rows_;  // 0: no progress told
    bool cancelled_ = false;
};

// Every row into `sink`, in a thread of the reader's own where one can start;
// the progress told over `rows` (0: none).
Status read_rows(Reader& reader, std::FILE* in, const ReadRequest& request, RowForm form, RowSink& sink,
                 const Options& options, bool thread, std::uint64_t rows = 0) {
    WatchedSink watched(sink, options, options.progress != nullptr ? rows : 0);
    RowSink& to = options.cancel != nullptr || (options.progress != nullptr && rows > 0) ? watched : sink;
    bool started = false;
    Status status = Status::ok;
    if (thread && threaded_read != nullptr) status = threaded_read(reader, in, request, form, to, started);
    if (!started) status = reader.read(in, request, to);
    if (status == Status::ok) watched.tell(rows);
    return watched.cancelled() ? Status::cancelled : status;
}

}  // namespace

Conversion::~Conversion() { release(); }

void Conversion::release() {
    if (reader != nullptr) reader->~Reader();
    if (turner != nullptr) turner->~Writer();
    if (writer != nullptr && writer != document) writer->~Writer();
    reader = nullptr;
    turner = nullptr;
    writer = nullptr;
}

Options for_input(const Options& options, bool decodes) {
    Options o = options;
    if (o.method == Method::by_input) o.method = decodes ? Method::automatic : Method::channels;
    return o;
}

Status run_rows(Reader& reader, const Picture& picture, Writer& writer, std::FILE* in, const Options& given,
                Buffers& buffers, bool thread, const Picture* stored, Facts* facts) {
    Options options = given;
    ReadRequest request;
    request.options = &options;
    request.row = buffers.method.values;
    // Resized, the reader's rows go through the resize stage, which puts
    // each output row whole in the method's values.
    auto through = [&](RowSink& sink, auto&& read) {
        if (stored == nullptr) return read(sink);
        ResizeStage resize(*stored, picture, options, buffers.resize, buffers.method.values, sink);
        request.row = buffers.resize.in_row;
        request.whole_rows = resize.whole_rows();
        return read(static_cast<RowSink&>(resize));
    };
    const RowForm form = stored != nullptr ? stored->form : picture.form;
    if (picture.form == RowForm::values && options.method == Method::automatic) {
        // A first look, of luma, at the picture as it is decided (resized:
        // through the stage, at its size); then the second read as the
        // chosen method's.
        options.method = Method::luma;
        AutoSink look(static_cast<std::size_t>(picture.width), static_cast<std::size_t>(picture.height),
                      buffers.method);
        if (stored == nullptr) {
            request.glimpse = look.factor();
            request.shrunk = &look.shrunk;
        }
        const Status status =
            through(look, [&](RowSink& sink) { return read_rows(reader, in, request, form, sink, options, false); });
        if (status != Status::ok && !(status == Status::write_failed && look.stopped())) return status;
        request.glimpse = 1;
        request.shrunk = nullptr;
        const AutoChoice choice = look.choose();
        options.method = choice.method;
        if (facts != nullptr)
            std::snprintf(facts->decision, sizeof facts->decision, "auto chose %s: %s", method_name(choice.method),
                          choice.why);
    }
    int otsu = -1;
    // A bilevel picture is read once (a PBM may come down a pipe): resized,
    // its two classes are black and white already, and Otsu's -1 decides
    // it at the middle.
    const bool bilevel = stored != nullptr && stored->form == RowForm::bits;
    if (picture.form == RowForm::values && options.method == Method::otsu && !bilevel) {
        HistogramSink histogram(buffers.method);
        const Status status = through(
            histogram, [&](RowSink& sink) { return read_rows(reader, in, request, form, sink, options, false); });
        if (status != Status::ok) return status;
        otsu = otsu_threshold(buffers.method.histogram);
    }
    DecisionStage stage(options, picture, otsu, buffers.method, writer);
    request.whole_rows = stage.whole_rows();
    const std::uint64_t rows = static_cast<std::uint64_t>(stored != nullptr ? stored->height : picture.height);
    return through(stage,
                   [&](RowSink& sink) { return read_rows(reader, in, request, form, sink, options, thread, rows); });
}

namespace {

bool reads_in_thread(const Conversion& c) { return c.options.reader_thread && c.reader_kind->decodes; }

// What the rows go to: the turner, which gives them to the writer turned, or the writer.
Writer& output_writer(Conversion& c) { return c.turner != nullptr ? *c.turner : *c.writer; }

// How a picture's output opens and closes: a picture of its own, or a page
// of a document (first or later).
enum class Part { whole, first_page, later_page };

// The write phase of checked parts.
Status write_parts(Reader& reader, const Picture& picture, Writer& writer, bool gathered, std::FILE* in, std::FILE* out,
                   const Options& options, Buffers& buffers, bool thread = false, const Picture* stored = nullptr,
                   Facts* facts = nullptr, Part part = Part::whole) {
    Status status = part == Part::later_page ? writer.next_page() : writer.begin(out);
    if (status == Status::ok && !gathered && picture.width > 0 && picture.height > 0)
        status = run_rows(reader, picture, writer, in, options, buffers, thread, stored, facts);
    if (status == Status::ok) status = part == Part::whole ? writer.finish() : writer.end_page();
    // Whatever failed, the output is thrown away: nothing more may reach it.
    if (status != Status::ok) writer.abandon();
    return status;
}

// The writer's check, and the rows for a writer that gathers them.
Status check_writer(Reader& reader, const Picture& picture, Writer& writer, std::FILE* in, bool output_seekable,
                    const Options& options, Buffers& buffers, Facts& facts, bool& gathered, bool thread = false,
                    Turn turn = {}, const Picture* stored = nullptr) {
    gathered = false;
    writer.set_resolution(output_resolution(options, picture.resolution, turn));
    Status status = writer.check(picture.width, picture.height, output_seekable, facts);
    if (status != Status::ok || !writer.gathers()) return status;
    status = run_rows(reader, picture, writer, in, options, buffers, thread, stored, &facts);
    gathered = status == Status::ok;
    return status;
}

}  // namespace

Status check_conversion(Conversion& c, const ReaderKind& reader, std::FILE* in, bool output_seekable, Buffers& buffers,
                        Facts& facts, const Options& given) {
    const Options options = for_input(given, reader.decodes);
    c.reader_kind = &reader;
    c.buffers = &buffers;
    c.facts = &facts;
    c.options = options;
    c.writer_kind = writer_for(output_format(reader, options));
    if (c.writer_kind == nullptr) return Status::unknown_format;
    if (c.reader == nullptr) c.reader = reader.build(c.reader_room, buffers);
    // A BMP records no orientation: the options alone say whether it turns.
    c.tokens = c.document == nullptr && takes_pbm_tokens(reader, *c.writer_kind, options) &&
               turn_for(options, 1).identity() && !resizing(options);
    c.resized = false;
    if (c.tokens) {
        // The legacy path reads the BMP's stored rows itself.
        BmpSource& source = static_cast<BmpReader*>(c.reader)->source();
        const Status status = check_bmp(in, output_seekable, true, source, buffers.read.bmp, facts, options);
        c.picture = {source.width, source.height, RowForm::values};
        c.out_width = source.width;
        c.out_height = source.height;
        return status;
    }
    ReadRequest request;
    request.options = &c.options;
    request.output_seekable = output_seekable;
    Status status = c.reader->check(in, request, c.picture, facts);
    if (status == Status::ok)
        status = plan_resize(c.options, turns_a_quarter(c.options, c.picture.orientation), c.picture, c.stored,
                             c.resized, facts);
    // Rows wider than auto's methods hold keep, by default, the rule of any width they had before auto.
    if (status == Status::ok && given.method == Method::by_input && c.options.method == Method::automatic &&
        static_cast<std::uint64_t>(c.picture.width) > max_row_width(c.options))
        c.options.method = Method::channels;
    if (status == Status::ok && c.picture.form == RowForm::values)
        status = check_method(c.options, c.picture.width, c.picture.height, facts);
    if (status != Status::ok) return status;
    c.turn = turn_for(c.options, c.picture.orientation);
    c.out_width = c.turn.swap ? c.picture.height : c.picture.width;
    c.out_height = c.turn.swap ? c.picture.width : c.picture.height;
    c.writer = c.document != nullptr ? c.document : c.writer_kind->build(c.writer_room, buffers, c.options);
    if (!c.turn.identity()) c.turner = build_in<TurnWriter>(c.turner_room, *c.writer, c.turn);
    return check_writer(*c.reader, c.picture, output_writer(c), in, output_seekable, c.options, buffers, facts,
                        c.gathered, reads_in_thread(c), c.turn, c.resized ? &c.stored : nullptr);
}

Status check_pixels(Conversion& c, const PixelSource& source, bool output_seekable, Buffers& buffers, Facts& facts,
                    const Options& options) {
    c.reader = build_in<PixelReader>(c.reader_room, buffers.read.pixels, source);
    return check_conversion(c, kPixelReader, nullptr, output_seekable, buffers, facts, options);
}

Status write_conversion(Conversion& c, std::FILE* in, std::FILE* out) {
    if (c.tokens)
        return write_pbm_tokens(in, static_cast<BmpReader*>(c.reader)->source(), c.buffers->read.bmp,
                                c.buffers->write.pbm, out, c.options);
    const Part part = c.document == nullptr ? Part::whole : c.later_page ? Part::later_page : Part::first_page;
    return write_parts(*c.reader, c.picture, output_writer(c), c.gathered, in, out, c.options, *c.buffers,
                       reads_in_thread(c), c.resized ? &c.stored : nullptr, c.facts, part);
}

std::uint64_t conversion_size(const Conversion& c) {
    return c.writer_kind->encoded_size(static_cast<std::uint64_t>(c.out_width),
                                       static_cast<std::uint64_t>(c.out_height), c.options);
}

bool writes_text(const Conversion& c) { return c.writer_kind == &kPbmWriter && !c.options.raw; }

// ---- the two classic pairs ----------------------------------------------------

Status read_bmp_source(std::FILE* in, bool output_seekable, BmpSource& source, Buffers& buffers, Facts& facts,
                       const Options& given) {
    const Options options = for_input(given, false);
    return check_bmp(in, output_seekable, plain_channels(options), source, buffers.read.bmp, facts, options);
}

Status write_pbm(std::FILE* in, const BmpSource& source, bool output_seekable, Buffers& buffers, std::FILE* out,
                 const Options& given) {
    const Options options = for_input(given, false);
    if (plain_channels(options)) return write_pbm_tokens(in, source, buffers.read.bmp, buffers.write.pbm, out, options);
    BmpReader reader(buffers.read.bmp, source);
    PbmWriter writer(buffers.write.pbm, options.raw);
    const Picture picture{source.width, source.height, RowForm::values};
    Facts facts;
    writer.check(source.width, source.height, output_seekable, facts);  // a PBM takes any size
    return write_parts(reader, picture, writer, false, in, out, options, buffers);
}

Status read_pbm_source(std::FILE* in, bool output_seekable, PbmSource& source, Buffers& buffers, Facts& facts,
                       const Options& options) {
    PbmReader reader(buffers.read.pbm);
    ReadRequest request;
    request.options = &options;
    request.output_seekable = output_seekable;
    Picture picture;
    Status status = reader.check(in, request, picture, facts);
    source = reader.source();
    if (status != Status::ok) return status;
    BmpWriter writer(buffers.write.bmp, options.bmp_bits);
    status = check_writer(reader, picture, writer, in, output_seekable, options, buffers, facts, source.gathered);
    return status;
}

Status write_bmp(std::FILE* in, const PbmSource& source, bool output_seekable, Buffers& buffers, std::FILE* out,
                 const Options& options) {
    PbmReader reader(buffers.read.pbm, source);
    BmpWriter writer(buffers.write.bmp, options.bmp_bits);
    const Picture picture{source.width, source.height, RowForm::bits};
    Facts facts;
    if (writer.check(source.width, source.height, output_seekable, facts) != Status::ok ||
        writer.gathers() != source.gathered)
        return Status::write_failed;  // the check refused it, or gathered what this output cannot take in order
    return write_parts(reader, picture, writer, source.gathered, in, out, options, buffers);
}

}  // namespace qpbm
