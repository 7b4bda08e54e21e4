#include "session/session_name.hpp"

#include <gtest/gtest.h>

#include <optional>
#include <ostream>
#include <string>

#include "linux/path.hpp"
#include "session/session.hpp"

namespace quillmere {
namespace {

struct ComponentCase {
    const char* path;
    std::optional<std::string_view> component;
};

void PrintTo(const ComponentCase& c, std::ostream* os) { *os << '"' << c.path << '"'; }

class LastPathComponent : public ::testing::TestWithParam<ComponentCase> {};

TEST_P(LastPathComponent, IgnoresEmptyAndDotComponents) {
    EXPECT_EQ(last_path_component(GetParam().path), GetParam().component) << GetParam().path;
}

INSTANTIATE_TEST_SUITE_P(Paths, LastPathComponent,
                         ::testing::Values(ComponentCase{"/run/quillmere-vpn-a", "quillmere-vpn-a"},
                                           ComponentCase{"/run/quillmere-vpn-a/", "quillmere-vpn-a"},
                                           ComponentCase{"/run/quillmere-vpn-a///", "quillmere-vpn-a"},
                                           ComponentCase{"/run/quillmere-vpn-a/.", "quillmere-vpn-a"},
                                           ComponentCase{"/run/quillmere-vpn-a/./././", "quillmere-vpn-a"},
                                           ComponentCase{"/run//x/./quillmere-vpn-a", "quillmere-vpn-a"},
                                           ComponentCase{"/quillmere-vpn-a", "quillmere-vpn-a"},
                                           ComponentCase{"quillmere-vpn-a", "quillmere-vpn-a"},
                                           ComponentCase{"/run/.hidden", ".hidden"}, ComponentCase{"/run/...", "..."},
                                           ComponentCase{"/run/quillmere-vpn-a/..", std::nullopt},
                                           ComponentCase{"/run/quillmere-vpn-a/../", std::nullopt},
                                           ComponentCase{"/run/quillmere-vpn-a/../.", std::nullopt},
                                           ComponentCase{"/", std::nullopt}, ComponentCase{"///", std::nullopt},
                                           ComponentCase{"/.", std::nullopt}, ComponentCase{"/./", std::nullopt},
                                           ComponentCase{".", std::nullopt}, ComponentCase{"", std::nullopt}));

TEST(LastPathComponent, IsAViewIntoThePath) {
    // The loader cuts the path after this component, so it must point into the argument.
    const std::string_view path = "/run/quillmere-vpn-a/./";
    const auto component = last_path_component(path);
    ASSERT_TRUE(component.has_value());
    EXPECT_EQ(component->data(), path.data() + 5);
}

struct NameCase {
    std::string name;
    bool accepted;
};

void PrintTo(const NameCase& c, std::ostream* os) { *os << '"' << c.name << '"'; }

class SessionName : public ::testing::TestWithParam<NameCase> {};

TEST_P(SessionName, FollowsTheNamingRule) {
    EXPECT_EQ(is_session_name(GetParam().name), GetParam().accepted) << GetParam().name;
}

INSTANTIATE_TEST_SUITE_P(Names, SessionName,
                         ::testing::Values(NameCase{"quillmere-vpn-a", true}, NameCase{"quillmere-vpn-0", true},
                                           NameCase{"quillmere-vpn-AbC123xyz", true},
                                           NameCase{"quillmere-vpn-" + std::string(64, 'z'), true},
                                           NameCase{"quillmere-vpn-" + std::string(65, 'z'), false},
                                           NameCase{"quillmere-vpn-", false}, NameCase{"quillmere-vpn", false},
                                           NameCase{"", false}, NameCase{"quillmere-vpn-a-b", false},
                                           NameCase{"quillmere-vpn-a_b", false}, NameCase{"quillmere-vpn-a.b", false},
                                           NameCase{"quillmere-vpn-a b", false},
                                           NameCase{"quillmere-vpn-\xc3\xa9", false},
                                           NameCase{"quillmere-vpn-a\xff", false}, NameCase{"Quillmere-vpn-a", false},
                                           NameCase{"xquillmere-vpn-a", false}, NameCase{"quillmere-vpn-a/", false}));

// A name the rule refuses is refused before the file system is asked: even though none of
// these paths exist, the answer is the validation error and not "not found".
TEST(LoadSession, RefusesBadArgumentsWithoutLookingAtFiles) {
    const std::string missing = "/nonexistent-quillmere-parent/";
    const std::string cases[] = {
        "",
        "quillmere-vpn-a",
        "./quillmere-vpn-a",
        missing + "quillmere-vpn-",
        missing + "quillmere-vpn-" + std::string(65, 'a'),
        missing + "quillmere-vpn-a-b",
        missing + "quillmere-vpn-a/..",
        missing + "other",
        "/",
        std::string("/x\0/quillmere-vpn-a", 19),
    };
    for (const std::string& argument : cases) {
        const auto session = load_session(argument);
        ASSERT_FALSE(session.has_value()) << argument;
        EXPECT_EQ(session.error(), kSessionValidationFailed) << argument;
    }
    // The same kind of path with a good name does reach the file system.
    const auto session = load_session(missing + "quillmere-vpn-a/");
    ASSERT_FALSE(session.has_value());
    EXPECT_TRUE(session.error().is_os_error(ENOENT));
}

}  // namespace
}  // namespace quillmere
