// The plain PBM ("P1") layout this library writes and reads back.
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
// The reader accepts this layout and nothing more general: line 1 is "P1",
// line 2 a comment, line 3 the dimensions, and every later line supplies 30
// tokens from character positions 0, 2, ... 58, read at most 99 characters at
// a time. "0" is white and any other character black.
#pragma once

#include <cstddef>

namespace qpbm {

// The header is these two lines, then "<width> <height>\n" in signed decimal.
inline constexpr char kPbmHeaderStart[] = "P1\n# Created by Quorvel\n";
inline constexpr char kPbmMagic[] = "P1";
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

// The reader takes at most this many characters per line read (a 100-byte
// line buffer holding the terminating NUL).
inline constexpr std::size_t kLineReadMax = 99;
// A dimension number holds at most this many characters (a 24-byte buffer).
inline constexpr std::size_t kDimensionDigitsMax = 23;

}  // namespace qpbm
