#include "session/session_decoder.hpp"

#include <cstdint>
#include <limits>
#include <optional>

#include <nlohmann/json.hpp>

namespace quillmere {

namespace {

using Json = nlohmann::json;

constexpr std::uint64_t kSupportedFormat = 1;
constexpr std::string_view kFormatKey = "format";
constexpr std::string_view kNonceKey = "parent_nonce";
constexpr std::string_view kByteOrderMark = "\xEF\xBB\xBF";

// The fields of the session file, before their values are judged.
struct SessionDocument {
    std::uint64_t format = 0;
    std::string parent_nonce;
};

// Follows the document event by event and refuses the first event that the two accepted
// shapes do not allow, so a duplicate key, a nested value or a third element is seen as it
// happens rather than being folded away by a generic document tree. The refusal remembers why.
class SessionDocumentReader final : public nlohmann::json_sax<Json> {
public:
    // Meaningful only once the parse has succeeded.
    [[nodiscard]] std::optional<SessionDocument> result() const {
        if (state_ != State::complete) return std::nullopt;
        return document_;
    }
    // Why the parse stopped, once it has.
    [[nodiscard]] SessionDocumentRefusal refusal() const {
        return refusal_.value_or(SessionDocumentRefusal{SessionDocumentProblem::syntax, 0});
    }

    bool null() override { return refuse_value(); }
    bool boolean(bool) override { return refuse_value(); }
    // A negative literal: outside 0 to 4294967295 whatever its value.
    bool number_integer(number_integer_t) override { return refuse_number(); }
    // A fraction or an exponent ("1.0", "1e0"), or an integer too large for 64 bits.
    bool number_float(number_float_t, const string_t&) override { return refuse_number(); }
    bool binary(binary_t&) override { return refuse_value(); }

    bool number_unsigned(number_unsigned_t value) override {
        if (!in_format_place()) return refuse_value();
        if (value > std::numeric_limits<std::uint32_t>::max()) return refuse(SessionDocumentProblem::format_range);
        state_ = state_ == State::object_format_value ? State::object_key : State::array_nonce;
        document_.format = value;
        return true;
    }

    bool string(string_t& value) override {
        switch (state_) {
        case State::object_nonce_value: state_ = State::object_key; break;
        case State::array_nonce: state_ = State::array_end; break;
        default: return refuse_value();
        }
        document_.parent_nonce = std::move(value);
        return true;
    }

    bool start_object(std::size_t) override {
        if (state_ != State::document) return refuse_value();
        state_ = State::object_key;
        return true;
    }

    // Keys arrive unescaped, so "\u0066ormat" counts as "format", and as a duplicate of it.
    bool key(string_t& name) override {
        if (state_ != State::object_key) return refuse(SessionDocumentProblem::wrong_type);
        if (name == kFormatKey || name == kNonceKey) {
            bool& seen = name == kFormatKey ? seen_format_ : seen_nonce_;
            if (seen) return refuse(SessionDocumentProblem::duplicate_key);
            seen = true;
            state_ = name == kFormatKey ? State::object_format_value : State::object_nonce_value;
            return true;
        }
        return refuse(SessionDocumentProblem::unknown_key);
    }

    bool end_object() override {
        if (state_ != State::object_key) return refuse(SessionDocumentProblem::wrong_type);
        if (!seen_format_ || !seen_nonce_) return refuse(SessionDocumentProblem::missing_key);
        state_ = State::complete;
        return true;
    }

    bool start_array(std::size_t) override {
        if (state_ != State::document) return refuse_value();
        state_ = State::array_format;
        return true;
    }

    bool end_array() override {
        if (state_ != State::array_end) return refuse(SessionDocumentProblem::element_count);
        state_ = State::complete;
        return true;
    }

    bool parse_error(std::size_t position, const std::string&, const nlohmann::detail::exception&) override {
        state_ = State::failed;
        if (!refusal_.has_value()) refusal_ = SessionDocumentRefusal{SessionDocumentProblem::syntax, position};
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

    [[nodiscard]] bool in_format_place() const noexcept {
        return state_ == State::object_format_value || state_ == State::array_format;
    }

    bool refuse(SessionDocumentProblem problem) {
        state_ = State::failed;
        if (!refusal_.has_value()) refusal_ = SessionDocumentRefusal{problem, 0};
        return false;
    }

    // A value where the shapes have none of its kind.
    bool refuse_value() {
        if (state_ == State::document) return refuse(SessionDocumentProblem::not_a_session_document);
        if (state_ == State::array_end) return refuse(SessionDocumentProblem::element_count);
        return refuse(SessionDocumentProblem::wrong_type);
    }

    bool refuse_number() { return in_format_place() ? refuse(SessionDocumentProblem::format_range) : refuse_value(); }

    State state_ = State::document;
    bool seen_format_ = false;
    bool seen_nonce_ = false;
    SessionDocument document_;
    std::optional<SessionDocumentRefusal> refusal_;
};

bool is_lower_hex(char c) noexcept { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'); }

std::expected<SessionDocument, SessionDocumentRefusal> parse_session_document(std::string_view bytes) {
    // The library skips a byte-order mark unasked; here such a file is not JSON.
    if (bytes.starts_with(kByteOrderMark))
        return std::unexpected(SessionDocumentRefusal{SessionDocumentProblem::byte_order_mark, 0});
    // The library takes a NUL byte for the end of its input, which would let anything at all
    // follow a valid document. JSON has no place for a raw NUL, inside strings or out.
    if (const std::size_t nul = bytes.find('\0'); nul != std::string_view::npos)
        return std::unexpected(SessionDocumentRefusal{SessionDocumentProblem::nul_byte, nul});
    SessionDocumentReader reader;
    // Strict: after the document only whitespace may follow.
    const bool parsed = Json::sax_parse(bytes.begin(), bytes.end(), &reader, nlohmann::json::input_format_t::json,
                                        /*strict=*/true, /*ignore_comments=*/false);
    std::optional<SessionDocument> document = reader.result();
    if (!parsed || !document.has_value()) return std::unexpected(reader.refusal());
    return std::move(*document);
}

}  // namespace

std::expected<std::string, SessionDocumentRefusal> judge_session_document(std::string_view bytes) {
    // The reader reads one byte past the limit, so a file that grew after its size was
    // checked shows up here as too long.
    if (bytes.size() > kSessionFileMaxBytes)
        return std::unexpected(SessionDocumentRefusal{SessionDocumentProblem::too_large, 0});
    std::expected<SessionDocument, SessionDocumentRefusal> document =
        std::unexpected(SessionDocumentRefusal{SessionDocumentProblem::syntax, 0});
    try {
        document = parse_session_document(bytes);
    } catch (...) {
        // Allocation failure or a library error: the file is refused like any malformed one.
        return std::unexpected(SessionDocumentRefusal{SessionDocumentProblem::syntax, 0});
    }
    if (!document.has_value()) return std::unexpected(document.error());
    if (document->format != kSupportedFormat)
        return std::unexpected(SessionDocumentRefusal{SessionDocumentProblem::unsupported_format, 0});
    if (document->parent_nonce.size() != kNonceLength)
        return std::unexpected(
            SessionDocumentRefusal{SessionDocumentProblem::nonce_length, document->parent_nonce.size()});
    for (std::size_t i = 0; i < document->parent_nonce.size(); ++i) {
        if (!is_lower_hex(document->parent_nonce[i]))
            return std::unexpected(SessionDocumentRefusal{SessionDocumentProblem::nonce_character, i});
    }
    return std::move(document->parent_nonce);
}

Result<std::string> decode_session_document(std::string_view bytes) {
    std::expected<std::string, SessionDocumentRefusal> nonce = judge_session_document(bytes);
    if (!nonce.has_value()) return fail(kSessionValidationFailed);
    return std::move(*nonce);
}

}  // namespace quillmere
