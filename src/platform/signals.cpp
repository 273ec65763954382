// Signal dispositions of the process.
#include <csignal>

#include "platform/platform.h"

namespace kova::platform {

void ignore_broken_pipe() { std::signal(SIGPIPE, SIG_IGN); }

}  // namespace kova::platform
