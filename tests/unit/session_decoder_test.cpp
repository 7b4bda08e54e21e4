#include "session/session_decoder.hpp"

#include <gtest/gtest.h>

#include <optional>
#include <ostream>
#include <string>

namespace quillmere {
namespace {

const std::string kNonce = "0123456789abcdef0123456789abcdef0123456789abcdef0123456789abcdef";

std::string object_with(std::string_view format, std::string_view nonce) {
    return "{\"format\":" + std::string(format) + ",\"parent_nonce\":\"" + std::string(nonce) + "\"}";
}

struct Case {
    const char* what;
    std::string document;
    std::optional<SessionDocumentProblem> problem = std::nullopt;  // why it is refused
};

void PrintTo(const Case& c, std::ostream* os) { *os << c.what; }

class AcceptedDocument : public ::testing::TestWithParam<Case> {};
class RejectedDocument : public ::testing::TestWithParam<Case> {};

TEST_P(AcceptedDocument, YieldsTheNonce) {
    const Result<std::string> nonce = decode_session_document(GetParam().document);
    ASSERT_TRUE(nonce.has_value()) << GetParam().what;
    EXPECT_EQ(*nonce, kNonce) << GetParam().what;
}

TEST_P(RejectedDocument, IsTheUniformValidationErrorAndNamesItsProblem) {
    const Result<std::string> nonce = decode_session_document(GetParam().document);
    ASSERT_FALSE(nonce.has_value()) << GetParam().what;
    EXPECT_EQ(nonce.error(), kSessionValidationFailed) << GetParam().what;
    const auto judged = judge_session_document(GetParam().document);
    ASSERT_FALSE(judged.has_value()) << GetParam().what;
    EXPECT_EQ(judged.error().problem, GetParam().problem) << GetParam().what;
}

std::string padded_to(std::string document, std::size_t size) {
    document.resize(size, ' ');
    return document;
}

INSTANTIATE_TEST_SUITE_P(
    Shapes, AcceptedDocument,
    ::testing::Values(Case{"object, format first", object_with("1", kNonce)},
                      Case{"object, nonce first", "{\"parent_nonce\":\"" + kNonce + "\",\"format\":1}"},
                      Case{"whitespace everywhere and a final line feed",
                           " \t\r\n{ \"format\" :\t1 ,\r\n \"parent_nonce\" : \"" + kNonce + "\" }\n"},
                      Case{"array", "[1,\"" + kNonce + "\"]"},
                      Case{"array with whitespace", "[ 1 ,\n\"" + kNonce + "\" ]\n"},
                      Case{"escaped key", "{\"\\u0066ormat\":1,\"parent_nonce\":\"" + kNonce + "\"}"},
                      Case{"padded with spaces to exactly the limit", padded_to(object_with("1", kNonce), 4096)}));

std::string nonce_with_escaped_first_letter() {
    // kNonce starts with "0"; build one starting with an "a" that is written as an escape.
    return "\\u0061" + kNonce.substr(1);
}

TEST(SessionDecoder, EscapedNonceLetterIsTakenAsThatLetter) {
    const Result<std::string> nonce = decode_session_document(object_with("1", nonce_with_escaped_first_letter()));
    ASSERT_TRUE(nonce.has_value());
    EXPECT_EQ(*nonce, "a" + kNonce.substr(1));
}

INSTANTIATE_TEST_SUITE_P(
    Shapes, RejectedDocument,
    ::testing::Values(
        Case{"empty", "", SessionDocumentProblem::syntax},
        Case{"whitespace only", " \n", SessionDocumentProblem::syntax},
        Case{"third key", "{\"format\":1,\"parent_nonce\":\"" + kNonce + "\",\"extra\":0}",
             SessionDocumentProblem::unknown_key},
        Case{"duplicate key", "{\"format\":1,\"format\":1,\"parent_nonce\":\"" + kNonce + "\"}",
             SessionDocumentProblem::duplicate_key},
        Case{"duplicate key written as an escape",
             "{\"format\":1,\"\\u0066ormat\":1,\"parent_nonce\":\"" + kNonce + "\"}",
             SessionDocumentProblem::duplicate_key},
        Case{"duplicate nonce",
             "{\"parent_nonce\":\"" + kNonce + "\",\"format\":1,\"parent_nonce\":\"" + kNonce + "\"}",
             SessionDocumentProblem::duplicate_key},
        Case{"missing nonce", "{\"format\":1}", SessionDocumentProblem::missing_key},
        Case{"missing format", "{\"parent_nonce\":\"" + kNonce + "\"}", SessionDocumentProblem::missing_key},
        Case{"empty object", "{}", SessionDocumentProblem::missing_key},
        Case{"key differing in case", "{\"Format\":1,\"parent_nonce\":\"" + kNonce + "\"}",
             SessionDocumentProblem::unknown_key},
        Case{"format 2", object_with("2", kNonce), SessionDocumentProblem::unsupported_format},
        Case{"format 0", object_with("0", kNonce), SessionDocumentProblem::unsupported_format},
        Case{"format as a string", object_with("\"1\"", kNonce), SessionDocumentProblem::wrong_type},
        Case{"format with a fraction", object_with("1.0", kNonce), SessionDocumentProblem::format_range},
        Case{"format with an exponent", object_with("1e0", kNonce), SessionDocumentProblem::format_range},
        Case{"format negative", object_with("-1", kNonce), SessionDocumentProblem::format_range},
        Case{"format negative zero", object_with("-0", kNonce), SessionDocumentProblem::format_range},
        Case{"format above 32 bits", object_with("4294967296", kNonce), SessionDocumentProblem::format_range},
        Case{"format above 32 bits, congruent to 1", object_with("4294967297", kNonce),
             SessionDocumentProblem::format_range},
        Case{"format above 64 bits", object_with("18446744073709551617", kNonce), SessionDocumentProblem::format_range},
        Case{"format with a leading zero", object_with("01", kNonce), SessionDocumentProblem::syntax},
        Case{"format true", object_with("true", kNonce), SessionDocumentProblem::wrong_type},
        Case{"format null", object_with("null", kNonce), SessionDocumentProblem::wrong_type},
        Case{"format nested", object_with("[1]", kNonce), SessionDocumentProblem::wrong_type},
        Case{"nonce nested", "{\"format\":1,\"parent_nonce\":[\"" + kNonce + "\"]}",
             SessionDocumentProblem::wrong_type},
        Case{"nonce object", "{\"format\":1,\"parent_nonce\":{}}", SessionDocumentProblem::wrong_type},
        Case{"nonce as a number", "{\"format\":1,\"parent_nonce\":1}", SessionDocumentProblem::wrong_type},
        Case{"nonce of 63", object_with("1", kNonce.substr(1)), SessionDocumentProblem::nonce_length},
        Case{"nonce of 65", object_with("1", kNonce + "0"), SessionDocumentProblem::nonce_length},
        Case{"nonce upper case", object_with("1", "0123456789ABCDEF" + kNonce.substr(16)),
             SessionDocumentProblem::nonce_character},
        Case{"nonce with a non-hex letter", object_with("1", "g" + kNonce.substr(1)),
             SessionDocumentProblem::nonce_character},
        Case{"nonce with an escaped NUL", object_with("1", "\\u0000" + kNonce.substr(1)),
             SessionDocumentProblem::nonce_character},
        Case{"nonce with an escaped upper-case letter", object_with("1", "\\u0041" + kNonce.substr(1)),
             SessionDocumentProblem::nonce_character},
        Case{"two documents", object_with("1", kNonce) + object_with("1", kNonce), SessionDocumentProblem::syntax},
        Case{"trailing comma in the object", "{\"format\":1,\"parent_nonce\":\"" + kNonce + "\",}",
             SessionDocumentProblem::syntax},
        Case{"trailing text", object_with("1", kNonce) + " x", SessionDocumentProblem::syntax},
        Case{"NUL after the document", object_with("1", kNonce) + std::string(1, '\0') + "junk",
             SessionDocumentProblem::nul_byte},
        Case{"byte-order mark", "\xEF\xBB\xBF" + object_with("1", kNonce), SessionDocumentProblem::byte_order_mark},
        Case{"comment", "/* */" + object_with("1", kNonce), SessionDocumentProblem::syntax},
        Case{"nested object value", "{\"format\":1,\"parent_nonce\":\"" + kNonce + "\",\"x\":{\"format\":1}}",
             SessionDocumentProblem::unknown_key},
        Case{"wrapped in an array", "[" + object_with("1", kNonce) + "]", SessionDocumentProblem::wrong_type},
        Case{"null", "null", SessionDocumentProblem::not_a_session_document},
        Case{"bare nonce string", "\"" + kNonce + "\"", SessionDocumentProblem::not_a_session_document},
        Case{"bare number", "1", SessionDocumentProblem::not_a_session_document},
        Case{"array of one", "[1]", SessionDocumentProblem::element_count},
        Case{"array of three", "[1,\"" + kNonce + "\",1]", SessionDocumentProblem::element_count},
        Case{"array in the wrong order", "[\"" + kNonce + "\",1]", SessionDocumentProblem::wrong_type},
        Case{"array with a trailing comma", "[1,\"" + kNonce + "\",]", SessionDocumentProblem::syntax},
        Case{"array with format 2", "[2,\"" + kNonce + "\"]", SessionDocumentProblem::unsupported_format},
        Case{"unterminated", "{\"format\":1,\"parent_nonce\":\"" + kNonce + "\"", SessionDocumentProblem::syntax},
        Case{"one byte over the limit", padded_to(object_with("1", kNonce), 4097), SessionDocumentProblem::too_large}));

}  // namespace
}  // namespace quillmere
