// The readers and writers that wrap codec libraries (libspng) live in a
// library of their own, so that the legacy library links none of them. The
// qpbm API, the tool and the tests add them to the joiner's lists with this.
#pragma once

namespace qpbm {

// Adds every codec part this build has, once; later calls do nothing.
// False when the joiner had no room for one.
bool add_codecs();

// The codec libraries this build has, a line each as "FORMAT LIBRARY
// VERSION" ("PNG libspng 0.7.3"); empty when it has none.
const char* codec_versions();

}  // namespace qpbm
