#include <string_view>
#include <vector>

#include "main/entry.hpp"
#include "main/startup.hpp"

int main(int argc, char** argv) {
    if (!quillmere::prepare_process()) {
        // Descriptor 2 is still the launcher's standard error, or /dev/null, or closed (the
        // marker then goes nowhere): no other file has been opened that could hold its number.
        quillmere::report_failure();
        return 1;
    }
    std::vector<std::string_view> args;
    // An empty argument vector (argc 0) is a command line like any other wrong one.
    for (int i = 1; i < argc; ++i) args.emplace_back(argv[i]);
    return quillmere::run_supervisor(args);
}
