#include "linux/path.hpp"

namespace quillmere {

std::string join_path(std::string_view dir, std::string_view name) {
    std::string path;
    path.reserve(dir.size() + 1 + name.size());
    path.append(dir).append(1, '/').append(name);
    return path;
}

std::string decimal(unsigned long long value) {
    char digits[24];
    char* end = digits + sizeof digits;
    char* begin = end;
    do {
        *--begin = static_cast<char>('0' + value % 10);
        value /= 10;
    } while (value != 0);
    return std::string(begin, end);
}

std::string descriptor_path(int fd) { return "/proc/self/fd/" + decimal(static_cast<unsigned long long>(fd)); }

}  // namespace quillmere
