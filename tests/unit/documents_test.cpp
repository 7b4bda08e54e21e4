#include "main/documents.hpp"

#include <sys/wait.h>

#include <gtest/gtest.h>

#include "children/core_exit_record.hpp"

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

TEST(CoreExitDocument, SaysHowTheCoreEndedWithFormatFirst) {
    struct Case {
        CoreEnd end;
        const char* expected;
    };
    for (const Case& c : {
             Case{{0x0000, false}, R"({"format":1,"exit_code":0,"stop_requested":false})"},
             Case{{0x0200, false}, R"({"format":1,"exit_code":2,"stop_requested":false})"},
             Case{{0xff00, true}, R"({"format":1,"exit_code":255,"stop_requested":true})"},
             Case{{15, true}, R"({"format":1,"signal":15,"stop_requested":true})"},
             Case{{9, true}, R"({"format":1,"signal":9,"stop_requested":true})"},
             Case{{0x8b, false}, R"({"format":1,"signal":11,"stop_requested":false})"},  // dumped core
         }) {
        EXPECT_EQ(core_exit_document(c.end), c.expected) << std::hex << c.end.wait_status;
        // What the checker and the reference parent read back is what was written.
        const auto read = read_core_exit(c.expected);
        ASSERT_TRUE(read.has_value()) << c.expected;
        EXPECT_EQ(read->stop_requested, c.end.stop_requested);
        EXPECT_EQ(read->exit_code.has_value(), WIFEXITED(c.end.wait_status)) << c.expected;
    }
    for (const char* unreadable : {"", "{}", R"({"format":2,"exit_code":0,"stop_requested":false})",
                                   R"({"format":1,"exit_code":0,"signal":9,"stop_requested":false})",
                                   R"({"format":1,"exit_code":-1,"stop_requested":false})"})
        EXPECT_FALSE(read_core_exit(unreadable).has_value()) << unreadable;
}

TEST(PidDocument, DigitsOnly) {
    EXPECT_EQ(pid_document(7), "7");
    EXPECT_EQ(pid_document(812), "812");
    EXPECT_EQ(pid_document(4194304), "4194304");
}

}  // namespace
}  // namespace quillmere
