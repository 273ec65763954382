// The program's start: command line, configuration, set-up, the run, and
// the finish.
#pragma once

#include <string>

namespace kova {

// The first argument up to and including its last "/"; without one, the
// directory of the running executable.
std::string program_directory(const char* first);

int host_main(int argc, char** argv);

}  // namespace kova
