#include <string_view>
#include <vector>

#include "main/entry.hpp"
#include "main/startup.hpp"

int main(int argc, char** argv) {
    if (!quillmere::prepare_process()) return 1;
    std::vector<std::string_view> args;
    // An empty argument vector (argc 0) is a command line like any other wrong one.
    for (int i = 1; i < argc; ++i) args.emplace_back(argv[i]);
    return quillmere::run_supervisor(args);
}
