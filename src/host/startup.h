// The program's start: command line, configuration, set-up, the run, and
// the finish.
#pragma once

namespace kova {

int host_main(int argc, char** argv);

}  // namespace kova
