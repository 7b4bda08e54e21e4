// The session file is the one document an unprivileged owner hands the supervisor; any byte
// sequence of any length must be refused or yield a well-formed nonce.

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include <nlohmann/json.hpp>

#include "fuzz_check.hpp"
#include "session/session_decoder.hpp"

namespace {

bool is_lower_hex_nonce(std::string_view nonce) {
    if (nonce.size() != 64) return false;
    for (const char c : nonce) {
        if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) return false;
    }
    return true;
}

// An accepted document must be one of the two accepted shapes as a generic parser sees it,
// so a decoder that lets something extra through is caught even if the nonce looks right.
bool generic_parse_agrees(std::string_view bytes, const std::string& nonce) {
    const nlohmann::json document = nlohmann::json::parse(bytes, nullptr, /*allow_exceptions=*/false);
    if (document.is_object()) {
        return document.size() == 2 && document.contains("format") && document.contains("parent_nonce") &&
               document["format"].is_number_unsigned() && document["format"].get<std::uint64_t>() == 1 &&
               document["parent_nonce"] == nonce;
    }
    if (document.is_array()) {
        return document.size() == 2 && document[0].is_number_unsigned() && document[0].get<std::uint64_t>() == 1 &&
               document[1] == nonce;
    }
    return false;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view bytes(reinterpret_cast<const char*>(data), size);
    const quillmere::Result<std::string> decoded = quillmere::decode_session_document(bytes);
    if (!decoded.has_value()) {
        // Whatever the reason, a refusal must not tell which check it tripped.
        FUZZ_CHECK(decoded.error() == quillmere::kSessionValidationFailed);
        return 0;
    }
    const std::string& nonce = *decoded;
    FUZZ_CHECK(size <= quillmere::kSessionFileMaxBytes);
    FUZZ_CHECK(is_lower_hex_nonce(nonce));
    FUZZ_CHECK(generic_parse_agrees(bytes, nonce));

    // The documents a parent writes for this nonce decode back to it, in both shapes.
    const std::string as_object = R"({"format":1,"parent_nonce":")" + nonce + R"("})";
    const std::string as_array = R"([1,")" + nonce + R"("])";
    const quillmere::Result<std::string> object_again = quillmere::decode_session_document(as_object);
    const quillmere::Result<std::string> array_again = quillmere::decode_session_document(as_array);
    FUZZ_CHECK(object_again.has_value() && *object_again == nonce);
    FUZZ_CHECK(array_again.has_value() && *array_again == nonce);
    return 0;
}
