#include "support/session_directory.hpp"

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <stdexcept>

#include "support/scratch.hpp"

namespace quillmere::testing {

std::string session_file_content(std::string_view nonce) {
    return "{\"format\":1,\"parent_nonce\":\"" + std::string(nonce) + "\"}\n";
}

std::string make_session_directory(const std::string& parent, std::string_view name, uid_t owner) {
    std::string directory = parent + "/" + std::string(name);
    if (::mkdir(directory.c_str(), 0700) != 0 || ::chmod(directory.c_str(), 0700) != 0)
        throw std::runtime_error("cannot create " + directory + ": " + std::strerror(errno));
    if (::chown(directory.c_str(), owner, owner) != 0) throw std::runtime_error("cannot chown " + directory);
    write_file(directory + "/supervisor.json", session_file_content(), 0600, owner);
    return directory;
}

std::vector<std::string> directory_entries(const std::string& directory) {
    std::vector<std::string> names;
    DIR* dir = ::opendir(directory.c_str());
    if (dir == nullptr) throw std::runtime_error("cannot open " + directory);
    while (const dirent* entry = ::readdir(dir)) {
        const std::string name = entry->d_name;
        if (name != "." && name != "..") names.push_back(name);
    }
    ::closedir(dir);
    std::sort(names.begin(), names.end());
    return names;
}

}  // namespace quillmere::testing
