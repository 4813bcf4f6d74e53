#pragma once

#include "platform/time/CivilDate.h"

namespace cal {

using timebase::CivilDate;

} // namespace cal
