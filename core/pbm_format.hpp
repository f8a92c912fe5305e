// The PBM formats: the plain one ("P1") this library writes, and the plain
// and raw ("P4") ones it reads.
//
// What the library writes:
//
//   P1
//   # Created by Quorvel
//   <width> <height>
//   <tokens>
//
// Pixels follow top row first, left to right, one two-character token each:
// "1 " black, "0 " white. A line feed follows every 30th token counted over
// the whole file, not per picture row, so a full line is 60 characters plus
// the line feed and a file ends with a line feed only when width * height is
// a multiple of 30.
//
// What the library reads: the header is the magic "P1" or "P4", then the
// width and the height, unsigned decimal numbers (leading zeros allowed, at
// most 2^31 - 1), each preceded by white space and/or comments. White space
// is SP, TAB, LF, VT, FF and CR; a comment runs from '#' to the next LF or CR.
// Everything up to the height's last digit takes at most 64 KiB.
//
// - P1: after the height, white space and comments are skipped and every
//   other byte is one pixel: '0' white, anything else black. Tokens need no
//   separators and lines may have any length.
// - P4: exactly one white-space byte after the height, then rows of
//   ceil(width / 8) bytes, most significant bit first, 1 black; the bits
//   past the width in a row's last byte are ignored.
//
// Pixels the file does not reach are black.
#pragma once

#include <cstddef>
#include <cstdint>

namespace qpbm {

// The header is these two lines, then "<width> <height>\n" in signed decimal.
inline constexpr char kPbmHeaderStart[] = "P1\n# Created by Quorvel\n";
// The raw PBM we write starts the same way with "P4"; then each row takes
// ceil(width / 8) bytes, the leftmost pixel in the highest bit, 1 black, and
// the bits past the width zero.
inline constexpr char kRawPbmHeaderStart[] = "P4\n# Created by Quorvel\n";
inline constexpr char kPbmMagicStart = 'P';
inline constexpr char kPbmPlainKind = '1';
inline constexpr char kPbmRawKind = '4';
inline constexpr char kPbmCommentStart = '#';
inline constexpr char kWhiteChar = '0';
inline constexpr char kBlackChar = '1';
inline constexpr char kTokenSeparator = ' ';
inline constexpr std::size_t kTokenSize = 2;
inline constexpr std::size_t kTokensPerLine = 30;

// Bytes a line feed takes in the stored text: the PBM is written in text
// mode, which stores '\n' as CR LF on Windows. Offsets into the text use it.
#if defined(_WIN32)
inline constexpr std::size_t kStoredLineFeedSize = 2;
#else
inline constexpr std::size_t kStoredLineFeedSize = 1;
#endif

// A pixel is white when each of blue, green and red is at least this.
inline constexpr unsigned kThreshold = 100;

// The largest width or height a header may give.
inline constexpr std::int64_t kPbmDimensionMax = 2147483647;

// The header, from the magic to the height's last digit (and, in a raw PBM,
// the white-space byte after it), takes at most this many bytes, so that
// refusing any input costs a bounded read.
inline constexpr std::size_t kPbmHeaderMax = 64 * 1024;

// PBM white space: SP, TAB, LF, VT, FF, CR.
constexpr bool is_pbm_space(int c) { return c == ' ' || (c >= '\t' && c <= '\r'); }

// A comment ends at either of these (which is itself white space).
constexpr bool ends_pbm_comment(int c) { return c == '\n' || c == '\r'; }

}  // namespace qpbm
