#include "children/core_exit_record.hpp"

#include <sys/wait.h>

#include <cstdint>
#include <limits>

#include <nlohmann/json.hpp>

#include "linux/path.hpp"

namespace quillmere {

namespace {

using Json = nlohmann::json;

const char* json_bool(bool value) { return value ? "true" : "false"; }

// One flat object of known keys; anything else ends the parse.
class CoreExitReader final : public nlohmann::json_sax<Json> {
public:
    [[nodiscard]] std::optional<CoreExitRecord> result() const {
        if (!ended_ || format_ != 1 || record_.exit_code.has_value() == record_.signal.has_value() || !saw_stop_)
            return std::nullopt;
        return record_;
    }

    bool null() override { return false; }
    bool boolean(bool value) override {
        if (key_ != "stop_requested" || saw_stop_) return false;
        record_.stop_requested = value;
        saw_stop_ = true;
        return true;
    }
    bool number_integer(number_integer_t) override { return false; }
    bool number_float(number_float_t, const string_t&) override { return false; }
    bool binary(binary_t&) override { return false; }
    bool string(string_t&) override { return false; }
    bool number_unsigned(number_unsigned_t value) override {
        if (value > std::numeric_limits<unsigned>::max()) return false;
        const auto number = static_cast<unsigned>(value);
        if (key_ == "format" && !format_.has_value()) {
            format_ = number;
        } else if (key_ == "exit_code" && !record_.exit_code.has_value()) {
            record_.exit_code = number;
        } else if (key_ == "signal" && !record_.signal.has_value()) {
            record_.signal = number;
        } else {
            return false;
        }
        return true;
    }
    bool start_object(std::size_t) override { return depth_++ == 0; }
    bool key(string_t& name) override {
        key_ = name;
        return true;
    }
    bool end_object() override {
        ended_ = true;
        return true;
    }
    bool start_array(std::size_t) override { return false; }
    bool end_array() override { return false; }
    bool parse_error(std::size_t, const std::string&, const nlohmann::detail::exception&) override { return false; }

private:
    int depth_ = 0;
    bool ended_ = false;
    bool saw_stop_ = false;
    std::string key_;
    std::optional<unsigned> format_;
    CoreExitRecord record_;
};

}  // namespace

std::optional<CoreExitRecord> read_core_exit(std::string_view document) {
    try {
        CoreExitReader reader;
        if (!Json::sax_parse(document.begin(), document.end(), &reader)) return std::nullopt;
        return reader.result();
    } catch (...) {
        return std::nullopt;
    }
}

std::string core_exit_document(const CoreEnd& end) {
    std::string out;
    out.reserve(64);
    out.append("{\"format\":1");
    if (WIFEXITED(end.wait_status)) {
        out.append(",\"exit_code\":").append(decimal(static_cast<unsigned long long>(WEXITSTATUS(end.wait_status))));
    } else {
        out.append(",\"signal\":").append(decimal(static_cast<unsigned long long>(WTERMSIG(end.wait_status))));
    }
    out.append(",\"stop_requested\":").append(json_bool(end.stop_requested)).append("}");
    return out;
}

}  // namespace quillmere
