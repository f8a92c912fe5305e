// A decoding reader in a thread of its own: while it decodes the next rows,
// the caller's thread decides and writes the last ones. Rows cross over
// through a small ring of fixed chunks, so memory stays flat whatever the
// picture's size; the output's bytes are those of the one-thread read.
//
// The ring and the thread need the heap and the thread library, which the
// legacy library links neither of: the joiner reaches this through a hook
// that the codec library sets (convert/codecs.cpp).
#pragma once

#include <cstddef>
#include <cstdio>

#include "read/reader.hpp"

namespace qpbm {

// The ring: kReadChunks chunks of kReadChunkSize bytes, each holding as many
// whole pieces as fit, so that the threads meet once a chunk, not once a row.
inline constexpr std::size_t kReadChunks = 4;
inline constexpr std::size_t kReadChunkSize = 256 * 1024;

// Reads every row as reader.read would, in a second thread, and hands the
// pieces to `sink` in this one, in the same order. `request.row` is this
// thread's whole-row buffer, where the sink finds a whole row's values; the
// reader is given a row of its own. False in `started` when no thread could
// start (or no ring be had): nothing has been read then, and the caller
// reads in its own thread.
Status read_in_thread(Reader& reader, std::FILE* in, const ReadRequest& request, RowForm form, RowSink& sink,
                      bool& started);

}  // namespace qpbm
