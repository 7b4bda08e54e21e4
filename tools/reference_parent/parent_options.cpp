#include "reference_parent/parent_options.hpp"

#include <cstdlib>

namespace quillmere::reference {

namespace {

constexpr Error kBadCommandLine = Error::with_text(ErrorKind::invalid_input, nullptr);

std::optional<uid_t> parse_uid(const std::string& text) {
    char* end = nullptr;
    const unsigned long uid = std::strtoul(text.c_str(), &end, 10);
    // (uid_t)-1 means "no change" to chown and setuid, so it names nobody.
    if (text.empty() || *end != '\0' || text[0] == '-' || uid > 0xFFFFFFFEUL) return std::nullopt;
    return static_cast<uid_t>(uid);
}

std::optional<double> parse_seconds(const std::string& text) {
    char* end = nullptr;
    const double value = std::strtod(text.c_str(), &end);
    if (text.empty() || *end != '\0' || !(value >= 0.0)) return std::nullopt;
    return value;
}

// Options of both commands; the rest belong to "session", since the demo brings its own inputs.
bool shared_option(std::string_view word) {
    return word == "--stop-after" || word == "--close-after" || word == "--supervisor" || word == "--launch" ||
           word == "--as-user" || word == "--dir";
}

// One option that takes a value; false when the option or its value is not one.
bool take_value(ParentOptions& o, std::string_view option, const std::string& value) {
    if (option == "--stop-after" || option == "--close-after") {
        const std::optional<double> seconds = parse_seconds(value);
        o.stop_after = seconds.value_or(0);
        o.close_instead = option == "--close-after";
        return seconds.has_value();
    }
    if (option == "--owner" || option == "--as-user") {
        const std::optional<uid_t> uid = parse_uid(value);
        (option == "--owner" ? o.owner : o.as_user) = uid;
        return uid.has_value();
    }
    if (option == "--launch") {
        o.launch = value == "pkexec" ? Launch::pkexec : Launch::direct;
        return value == "pkexec" || value == "direct";
    }
    std::string* const text = option == "--supervisor" ? &o.supervisor
                              : option == "--core"     ? &o.core
                              : option == "--guard"    ? &o.guard
                              : option == "--config"   ? &o.config
                              : option == "--node"     ? &o.node
                              : option == "--dir"      ? &o.dir
                                                       : nullptr;
    if (text == nullptr || value.empty()) return false;
    *text = value;
    return true;
}

}  // namespace

std::string ParentOptions::supervisor_or(std::string_view built) const {
    if (!supervisor.empty()) return supervisor;
    return std::string(launch == Launch::pkexec ? kInstalledSupervisorPath : built);
}

Result<ParentOptions> parse_parent_options(const std::vector<std::string_view>& words) {
    if (words.empty()) return fail(kBadCommandLine);
    ParentOptions o;
    if (words[0] == "demo") {
        o.demo = true;
    } else if (words[0] != "session") {
        return fail(kBadCommandLine);
    }
    for (std::size_t i = 1; i < words.size(); ++i) {
        const std::string_view word = words[i];
        if (word == "--keep") {
            o.keep = true;
        } else if (word == "--recover" && !o.demo) {
            o.recover = true;
        } else if (i + 1 >= words.size() || (o.demo && !shared_option(word)) ||
                   !take_value(o, word, std::string(words[++i]))) {
            return fail(kBadCommandLine);
        }
    }
    if (!o.demo && (o.guard.empty() || o.config.empty() || (o.core.empty() && !o.recover)))
        return fail(kBadCommandLine);
    if (o.as_user && o.owner)
        return fail(Error::with_text(ErrorKind::invalid_input, "--as-user makes that user the owner; drop --owner"));
    // Started directly by that user, the supervisor would have no root and refuse at once.
    if (o.as_user && o.launch != Launch::pkexec)
        return fail(Error::with_text(ErrorKind::invalid_input, "--as-user needs --launch pkexec"));
    return o;
}

}  // namespace quillmere::reference
