// The library's only exports. They convert and return 999 whatever happened;
// the reason for a refusal is available to the command-line tool only.
#include "library/file_convert.hpp"
#include "library/quorvelpbm.h"

namespace {

int32_t convert(qpbm::Direction direction, const char16_t* in, const char16_t* out) {
    qpbm::Facts facts;
    qpbm::convert_wide(direction, in, out, facts);
    return QUORVELPBM_RESULT;
}

}  // namespace

extern "C" int32_t BMP2PBM(const char16_t* bmp_path, const char16_t* pbm_path) {
    return convert(qpbm::Direction::bmp_to_pbm, bmp_path, pbm_path);
}

extern "C" int32_t PBM2BMP(const char16_t* pbm_path, const char16_t* bmp_path) {
    return convert(qpbm::Direction::pbm_to_bmp, pbm_path, bmp_path);
}
