// The public status of each internal one, and the public statuses' messages
// (qpbm_status_message): the one table a caller's code is read from.
#pragma once

#include "core/status.hpp"
#include "library/qpbm.h"

namespace qpbm {

qpbm_status public_status(Status status);

}  // namespace qpbm
