// Times whole processes, from the start of the process to its exit, the way
// a web server runs a CGI program: standard input read from a file (its size
// is CONTENT_LENGTH), standard output discarded, REMOTE_ADDR set. The
// commands take turns round after round, so that each sees the same state
// of the machine; prints each command's median and 10th and 90th
// percentiles in microseconds.
//
//   kova_cgi_bench ROUNDS -- LABEL STDIN PROGRAM [ARGS...] [-- LABEL ...]
#include <fcntl.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

struct Command {
    std::string label;
    std::string input;
    std::vector<std::string> argv;
    std::vector<std::string> env;
    std::vector<double> micros;
};

double now_micros() {
    timespec t{};
    clock_gettime(CLOCK_MONOTONIC, &t);
    return static_cast<double>(t.tv_sec) * 1e6 + static_cast<double>(t.tv_nsec) / 1e3;
}

bool run_once(Command& c) {
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, c.input.c_str(), O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    std::vector<char*> argv;
    for (std::string& a : c.argv) argv.push_back(a.data());
    argv.push_back(nullptr);
    std::vector<char*> env;
    for (std::string& e : c.env) env.push_back(e.data());
    env.push_back(nullptr);

    const double start = now_micros();
    pid_t pid = 0;
    const int failed = posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), env.data());
    posix_spawn_file_actions_destroy(&actions);
    if (failed != 0) {
        std::fprintf(stderr, "cannot start %s: %s\n", argv[0], std::strerror(failed));
        return false;
    }
    int status = 0;
    waitpid(pid, &status, 0);
    c.micros.push_back(now_micros() - start);
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        std::fprintf(stderr, "%s ended with status %d\n", c.label.c_str(), status);
        return false;
    }
    return true;
}

double percentile(std::vector<double> v, double p) {
    std::sort(v.begin(), v.end());
    const size_t at = static_cast<size_t>(p * static_cast<double>(v.size() - 1) + 0.5);
    return v[at];
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 5 || std::strcmp(argv[2], "--") != 0) {
        std::fprintf(stderr, "usage: %s ROUNDS -- LABEL STDIN PROGRAM [ARGS...] [-- LABEL ...]\n", argv[0]);
        return 2;
    }
    const int rounds = std::atoi(argv[1]);
    std::vector<Command> commands;
    for (int i = 2; i < argc; ++i) {
        if (std::strcmp(argv[i], "--") == 0) {
            if (i + 3 >= argc) {
                std::fprintf(stderr, "a command needs a label, an input file and a program\n");
                return 2;
            }
            Command c;
            c.label = argv[++i];
            c.input = argv[++i];
            struct stat info {};
            if (stat(c.input.c_str(), &info) != 0) {
                std::fprintf(stderr, "no input file %s\n", c.input.c_str());
                return 2;
            }
            const char* path = std::getenv("PATH");
            c.env = {"CONTENT_LENGTH=" + std::to_string(info.st_size), "REMOTE_ADDR=127.0.0.1",
                     std::string("PATH=") + (path != nullptr ? path : "/usr/bin:/bin")};
            commands.push_back(c);
            continue;
        }
        commands.back().argv.push_back(argv[i]);
    }
    // One unmeasured round first: every program and file in the page cache.
    for (Command& c : commands) {
        if (!run_once(c)) return 1;
        c.micros.clear();
    }
    for (int r = 0; r < rounds; ++r) {
        for (Command& c : commands) {
            if (!run_once(c)) return 1;
        }
    }
    std::printf("%-28s %10s %10s %10s\n", "command", "median us", "p10 us", "p90 us");
    for (const Command& c : commands) {
        std::printf("%-28s %10.0f %10.0f %10.0f\n", c.label.c_str(), percentile(c.micros, 0.5),
                    percentile(c.micros, 0.1), percentile(c.micros, 0.9));
    }
    return 0;
}
