// What the host writes when an error or a thrown value reaches frame 0.
#pragma once

#include "core/value.h"

namespace kova {

// CGI mode: the error frame on standard output and the journal summary.
// `while_running` tells an error of the top call from one raised while
// loading.
void write_error_frame(Value arrived, bool while_running);
// Console mode: the ERROR line on standard output and its journal copy.
void write_console_error(Value arrived);

}  // namespace kova
