// The state directory argument is raw bytes from the command line. The name rule is checked
// against a plain restatement of it, and load_session must refuse, with the one validation
// error, every argument that the rule refuses on its text alone.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>
#include <vector>

#include "fuzz_check.hpp"
#include "linux/path.hpp"
#include "session/session.hpp"
#include "session/session_name.hpp"

namespace {

std::optional<std::string_view> reference_last_component(std::string_view path) {
    std::optional<std::string_view> last;
    std::size_t start = 0;
    while (start <= path.size()) {
        std::size_t end = path.find('/', start);
        if (end == std::string_view::npos) end = path.size();
        const std::string_view component = path.substr(start, end - start);
        if (!component.empty() && component != ".") last = component;
        start = end + 1;
    }
    if (last.has_value() && *last == "..") return std::nullopt;
    return last;
}

bool reference_session_name(std::string_view name) {
    constexpr std::string_view prefix = "quillmere-vpn-";
    if (name.substr(0, prefix.size()) != prefix) return false;
    const std::string_view suffix = name.substr(prefix.size());
    if (suffix.empty() || suffix.size() > 64) return false;
    for (const char c : suffix) {
        const bool alphanumeric = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9');
        if (!alphanumeric) return false;
    }
    return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    // A heap copy of exactly the argument's bytes, so that a read past its end is caught.
    const std::vector<char> bytes(data, data + size);
    const std::string_view argument(bytes.data(), bytes.size());

    const std::optional<std::string_view> component = quillmere::last_path_component(argument);
    const std::optional<std::string_view> expected_component = reference_last_component(argument);
    FUZZ_CHECK(component == expected_component);
    if (component.has_value()) {
        // The session loader cuts the argument at the end of this view, so it must lie inside it.
        FUZZ_CHECK(component->data() >= argument.data());
        FUZZ_CHECK(component->data() + component->size() <= argument.data() + argument.size());
    }

    const bool name_ok = quillmere::is_session_name(argument);
    FUZZ_CHECK(name_ok == reference_session_name(argument));

    const bool rule_refuses = argument.empty() || argument.front() != '/' ||
                              argument.find('\0') != std::string_view::npos || !component.has_value() ||
                              !reference_session_name(*component);
    if (rule_refuses) {
        const quillmere::Result<quillmere::Session> session = quillmere::load_session(argument);
        FUZZ_CHECK(!session.has_value() && session.error() == quillmere::kSessionValidationFailed);
    }
    return 0;
}
