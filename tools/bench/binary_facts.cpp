#include <elf.h>

#include <cstring>
#include <fstream>
#include <iterator>

#include "measurements.hpp"

namespace quillmere::bench {

BinaryFacts inspect_binary(const std::string& path) {
    BinaryFacts f;
    std::ifstream in(path, std::ios::binary);
    std::string image((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    f.file_bytes = static_cast<long long>(image.size());
    if (image.size() < sizeof(Elf64_Ehdr) || image.compare(0, 4, ELFMAG) != 0) return f;
    Elf64_Ehdr header;
    std::memcpy(&header, image.data(), sizeof header);
    f.is_static = true;
    for (unsigned i = 0; i < header.e_phnum; ++i) {
        const std::size_t at = header.e_phoff + i * static_cast<std::size_t>(header.e_phentsize);
        if (at + sizeof(Elf64_Phdr) > image.size()) break;
        Elf64_Phdr segment;
        std::memcpy(&segment, image.data() + at, sizeof segment);
        if (segment.p_type == PT_INTERP) f.is_static = false;
        if (segment.p_type == PT_LOAD) f.loaded_bytes += static_cast<long long>(segment.p_filesz);
    }
    return f;
}

}  // namespace quillmere::bench
