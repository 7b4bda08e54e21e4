#include "main/documents.hpp"

#include <gtest/gtest.h>

namespace quillmere {
namespace {

TEST(AppRoutingDocument, AllTrue) {
    const AppRoutingReport report{1, {true, true}, {true, true}};
    const std::string document = app_routing_document(report);
    EXPECT_EQ(document, "{\"format\":1,\"ipv4\":{\"tcp\":true,\"udp\":true},\"ipv6\":{\"tcp\":true,\"udp\":true}}\n");
    EXPECT_EQ(document.size(), 75U);
}

TEST(AppRoutingDocument, FallbackAndMixed) {
    EXPECT_EQ(app_routing_document(kFallbackAppRoutingReport),
              "{\"format\":1,\"ipv4\":{\"tcp\":false,\"udp\":false},\"ipv6\":{\"tcp\":false,\"udp\":false}}\n");
    EXPECT_EQ(app_routing_document(AppRoutingReport{1, {true, false}, {false, false}}),
              "{\"format\":1,\"ipv4\":{\"tcp\":true,\"udp\":false},\"ipv6\":{\"tcp\":false,\"udp\":false}}\n");
}

TEST(CompletionDocument, NamesTheSessionWithFormatFirst) {
    const auto document = completion_document("/run/user/1000/quillmere-vpn-a1");
    ASSERT_TRUE(document.has_value());
    EXPECT_EQ(*document, "{\"format\":2,\"session\":\"quillmere-vpn-a1\"}");
    EXPECT_EQ(document->size(), 41U);
}

TEST(CompletionDocument, RefusesARootOrNonUtf8Name) {
    EXPECT_EQ(completion_document("/").error(), kSessionValidationFailed);
    EXPECT_EQ(completion_document("/tmp/quillmere-vpn-\xff").error(), kSessionValidationFailed);
}

TEST(PidDocument, DigitsOnly) {
    EXPECT_EQ(pid_document(7), "7");
    EXPECT_EQ(pid_document(812), "812");
    EXPECT_EQ(pid_document(4194304), "4194304");
}

}  // namespace
}  // namespace quillmere
