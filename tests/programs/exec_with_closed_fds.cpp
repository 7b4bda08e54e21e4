// Starts a program with some of its standard descriptors closed, as a careless launcher would:
//   exec_with_closed_fds FD[,FD...] PROGRAM [ARG...]
// PROGRAM gets itself as argv[0]. Exit status 127 when the exec fails, 126 on bad usage.
#include <unistd.h>

#include <cstdlib>
#include <cstring>

int main(int argc, char** argv) {
    if (argc < 3) return 126;
    for (char* item = std::strtok(argv[1], ","); item != nullptr; item = std::strtok(nullptr, ",")) {
        ::close(static_cast<int>(std::strtol(item, nullptr, 10)));
    }
    ::execv(argv[2], argv + 2);
    return 127;
}
