#include "session/session_decoder.hpp"

#include <cstdint>
#include <limits>
#include <optional>

#include <nlohmann/json.hpp>

namespace quillmere {

namespace {

using Json = nlohmann::json;

constexpr std::uint64_t kSupportedFormat = 1;
constexpr std::size_t kNonceLength = 64;
constexpr std::string_view kFormatKey = "format";
constexpr std::string_view kNonceKey = "parent_nonce";
constexpr std::string_view kByteOrderMark = "\xEF\xBB\xBF";

// The fields of the session file, before their values are judged.
struct Spec {
    std::uint64_t format = 0;
    std::string parent_nonce;
};

// Follows the document event by event and refuses the first event that the two accepted
// shapes do not allow, so a duplicate key, a nested value or a third element is seen as it
// happens rather than being folded away by a generic document tree.
class SpecReader final : public nlohmann::json_sax<Json> {
public:
    // Meaningful only once the parse has succeeded.
    [[nodiscard]] std::optional<Spec> result() const {
        if (state_ != State::complete) return std::nullopt;
        return spec_;
    }

    bool null() override { return false; }
    bool boolean(bool) override { return false; }
    // A negative literal: outside 0 to 4294967295 whatever its value.
    bool number_integer(number_integer_t) override { return false; }
    // A fraction or an exponent ("1.0", "1e0"), or an integer too large for 64 bits.
    bool number_float(number_float_t, const string_t&) override { return false; }
    bool binary(binary_t&) override { return false; }

    bool number_unsigned(number_unsigned_t value) override {
        if (value > std::numeric_limits<std::uint32_t>::max()) return false;
        switch (state_) {
        case State::object_format_value: state_ = State::object_key; break;
        case State::array_format: state_ = State::array_nonce; break;
        default: return false;
        }
        spec_.format = value;
        return true;
    }

    bool string(string_t& value) override {
        switch (state_) {
        case State::object_nonce_value: state_ = State::object_key; break;
        case State::array_nonce: state_ = State::array_end; break;
        default: return false;
        }
        spec_.parent_nonce = std::move(value);
        return true;
    }

    bool start_object(std::size_t) override {
        if (state_ != State::document) return false;
        state_ = State::object_key;
        return true;
    }

    // Keys arrive unescaped, so "\u0066ormat" counts as "format", and as a duplicate of it.
    bool key(string_t& name) override {
        if (state_ != State::object_key) return false;
        if (name == kFormatKey && !seen_format_) {
            seen_format_ = true;
            state_ = State::object_format_value;
            return true;
        }
        if (name == kNonceKey && !seen_nonce_) {
            seen_nonce_ = true;
            state_ = State::object_nonce_value;
            return true;
        }
        return false;
    }

    bool end_object() override {
        if (state_ != State::object_key || !seen_format_ || !seen_nonce_) return false;
        state_ = State::complete;
        return true;
    }

    bool start_array(std::size_t) override {
        if (state_ != State::document) return false;
        state_ = State::array_format;
        return true;
    }

    bool end_array() override {
        if (state_ != State::array_end) return false;
        state_ = State::complete;
        return true;
    }

    bool parse_error(std::size_t, const std::string&, const nlohmann::detail::exception&) override {
        state_ = State::failed;
        return false;
    }

private:
    enum class State {
        document,             // nothing seen yet
        object_key,           // inside the object, a key or its end next
        object_format_value,  // after "format":
        object_nonce_value,   // after "parent_nonce":
        array_format,         // after [
        array_nonce,          // after [format,
        array_end,            // after [format,nonce
        complete,             // the document has ended
        failed,
    };

    State state_ = State::document;
    bool seen_format_ = false;
    bool seen_nonce_ = false;
    Spec spec_;
};

bool is_lower_hex(char c) noexcept { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'); }

std::optional<Spec> parse_spec(std::string_view bytes) {
    // The library skips a byte-order mark unasked; here such a file is not JSON.
    if (bytes.starts_with(kByteOrderMark)) return std::nullopt;
    // The library takes a NUL byte for the end of its input, which would let anything at all
    // follow a valid document. JSON has no place for a raw NUL, inside strings or out.
    if (bytes.find('\0') != std::string_view::npos) return std::nullopt;
    SpecReader reader;
    // Strict: after the document only whitespace may follow.
    const bool parsed = Json::sax_parse(bytes.begin(), bytes.end(), &reader, nlohmann::json::input_format_t::json,
                                        /*strict=*/true, /*ignore_comments=*/false);
    if (!parsed) return std::nullopt;
    return reader.result();
}

}  // namespace

Result<std::string> decode_spec(std::string_view bytes) {
    // The reader reads one byte past the limit, so a file that grew after its size was
    // checked shows up here as too long.
    if (bytes.size() > kSessionFileMaxBytes) return fail(kSessionValidationFailed);
    std::optional<Spec> spec;
    try {
        spec = parse_spec(bytes);
    } catch (...) {
        // Allocation failure or a library error: the file is refused like any malformed one.
        return fail(kSessionValidationFailed);
    }
    if (!spec.has_value() || spec->format != kSupportedFormat) return fail(kSessionValidationFailed);
    if (spec->parent_nonce.size() != kNonceLength) return fail(kSessionValidationFailed);
    for (const char c : spec->parent_nonce) {
        if (!is_lower_hex(c)) return fail(kSessionValidationFailed);
    }
    return std::move(spec->parent_nonce);
}

}  // namespace quillmere
