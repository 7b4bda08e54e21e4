#include "children/scrubbed_command.hpp"

#include "children/environment_policy.hpp"

namespace quillmere {

ChildCommand scrubbed_command(std::string_view program) {
    ChildCommand command;
    command.program = std::string(program);
    command.argv.push_back(command.program);
    command.env_removals = denied_environment_names();
    return command;
}

}  // namespace quillmere
