// Stands as "sing-box" in front of Debian's v2ray, whose command line is not the core's: turns
// "run -c FILE" into v2ray 4's "-config FILE -format json" and executes the engine in its own
// place, so that the pid the supervisor owns, and the SIGTERM it sends, are the engine's.
//
// The format is named because FILE is /proc/self/fd/N, a path without an extension. The
// engine is executed by its path, outside the supervisor's checks: it must be a file that only
// root can change, as an installed package's is.
#include <unistd.h>

#include <cstdio>
#include <cstring>

namespace {

constexpr const char* kEngine = "/usr/bin/v2ray";

}  // namespace

int main(int argc, char** argv) {
    if (argc != 4 || std::strcmp(argv[1], "run") != 0 || std::strcmp(argv[2], "-c") != 0) {
        (void)std::fputs("usage: sing-box run -c CONFIG\n", stderr);
        return 2;
    }
    const char* engine_argv[] = {kEngine, "-config", argv[3], "-format", "json", nullptr};
    ::execv(kEngine, const_cast<char* const*>(engine_argv));
    std::perror(kEngine);
    return 127;
}
