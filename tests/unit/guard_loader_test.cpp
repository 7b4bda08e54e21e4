#include "children/guard.hpp"

#include <gtest/gtest.h>

namespace quillmere {
namespace {

TEST(GuardLoader, IsOneLineOf304Bytes) {
    EXPECT_EQ(kGuardLoader.size(), 304U);
    EXPECT_EQ(kGuardLoader.find('\n'), std::string_view::npos);
    EXPECT_TRUE(kGuardLoader.starts_with("const fs=require('node:fs');"));
    EXPECT_TRUE(kGuardLoader.ends_with("guard._compile(fs.readFileSync('/proc/self/fd/'+fd,'utf8'),filename);"));
}

}  // namespace
}  // namespace quillmere
