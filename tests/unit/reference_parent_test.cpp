// The reference parent's own session material: what it writes must be what the supervisor
// accepts, or every test built on it fails for the wrong reason.

#include <gtest/gtest.h>

#include "reference_parent/state_directory.hpp"

namespace quillmere::reference {
namespace {

TEST(ReferenceParentNonce, IsSixtyFourLowerCaseHexDigitsAndFreshEachTime) {
    const auto first = fresh_nonce();
    const auto second = fresh_nonce();
    ASSERT_TRUE(first.has_value() && second.has_value());
    ASSERT_EQ(first->size(), 64U);
    EXPECT_EQ(first->find_first_not_of("0123456789abcdef"), std::string::npos) << *first;
    EXPECT_NE(*first, *second);
}

TEST(ReferenceParentSessionDocument, HoldsFormatOneAndTheNonce) {
    EXPECT_EQ(session_document(std::string(64, 'a')),
              "{\"format\":1,\"parent_nonce\":\"" + std::string(64, 'a') + "\"}\n");
}

}  // namespace
}  // namespace quillmere::reference
