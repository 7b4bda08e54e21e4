#include <fcntl.h>
#include <unistd.h>

#include "children/sealed_configuration.hpp"
#include "measurements.hpp"
#include "processes.hpp"

namespace quillmere::bench {
namespace {

constexpr int kSealRepeats = 15;

}  // namespace

Summary measure_sealing(const Bench& b) {
    const std::string path = b.base + "/large-tun.json";
    {
        std::string document = "{\"padding\":\"";
        document.append(kSealedConfigurationMaxBytes - document.size() - 3, 'x');
        document += "\"}\n";
        const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
        if (fd < 0 || ::write(fd, document.data(), document.size()) != static_cast<ssize_t>(document.size()))
            die("writing the largest configuration");
        ::close(fd);
    }
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) die("opening the largest configuration");
    std::vector<double> samples;
    for (int i = 0; i < kSealRepeats; ++i) {
        const Nanoseconds started = monotonic_now();
        const UniqueFd sealed = need(seal_configuration(fd, ::geteuid()), "sealing");
        samples.push_back(ms(monotonic_now() - started));
    }
    ::close(fd);
    ::unlink(path.c_str());
    return summarise(samples);
}

}  // namespace quillmere::bench
