#include "app_routing/request.hpp"

#include <gtest/gtest.h>

#include <array>
#include <cstring>
#include <ostream>
#include <string>
#include <vector>

namespace quillmere {
namespace {

using Bytes = std::vector<unsigned char>;

// Writes fields at a running offset into a fixed-size image; inserting into a growing vector
// trips a false -Wstringop-overflow in g++ 12 at -O2.
class RequestImage {
public:
    void u32(std::uint32_t value) { put(&value, sizeof value); }
    void u16(std::uint16_t value) { put(&value, sizeof value); }
    void u8(std::uint8_t value) { put(&value, sizeof value); }
    void zeros(std::size_t count) {
        if (offset_ + count > image_.size())
            overrun_ = true;
        else
            offset_ += count;
    }
    // Empty after an overrun, which the size assertion then reports.
    Bytes bytes() const {
        if (overrun_) return {};
        return Bytes(image_.begin(), image_.begin() + static_cast<std::ptrdiff_t>(offset_));
    }

private:
    void put(const void* value, std::size_t size) {
        if (offset_ + size > image_.size()) {
            overrun_ = true;
            return;
        }
        std::memcpy(image_.data() + offset_, value, size);
        offset_ += size;
    }
    std::array<unsigned char, 128> image_{};
    std::size_t offset_ = 0;
    bool overrun_ = false;
};

// The request written out field by field from its documented layout, independent of the
// kernel's structure definitions.
Bytes expected_request(std::uint8_t family, std::uint8_t protocol, std::uint32_t sequence) {
    RequestImage out;
    out.u32(72);     // nlmsg_len
    out.u16(20);     // SOCK_DIAG_BY_FAMILY
    out.u16(0x301);  // NLM_F_REQUEST | NLM_F_ROOT | NLM_F_MATCH
    out.u32(sequence);
    out.u32(0);  // nlmsg_pid
    out.u8(family);
    out.u8(protocol);
    out.u8(0);                       // idiag_ext
    out.u8(0);                       // pad
    out.u32(0);                      // idiag_states: none
    out.zeros(2 + 2 + 16 + 16 + 4);  // ports, addresses, interface
    out.u32(0xFFFFFFFFU);
    out.u32(0xFFFFFFFFU);
    return out.bytes();
}

struct RequestCase {
    std::uint8_t family;
    std::uint8_t protocol;
    std::uint32_t sequence;
};

void PrintTo(const RequestCase& c, std::ostream* out) {
    *out << int{c.family} << "/" << int{c.protocol} << "/" << c.sequence;
}

class SockDiagRequest : public ::testing::TestWithParam<RequestCase> {};

TEST_P(SockDiagRequest, IsExactlyTheDocumentedBytesOverwritingTheWholeBuffer) {
    const RequestCase c = GetParam();
    std::array<unsigned char, kSockDiagRequestSize> buffer;
    buffer.fill(0xAA);  // leftovers must not survive into the request
    build_sock_diag_request(buffer, c.family, c.protocol, c.sequence);
    const Bytes expected = expected_request(c.family, c.protocol, c.sequence);
    ASSERT_EQ(expected.size(), 72U);
    EXPECT_EQ(Bytes(buffer.begin(), buffer.end()), expected);
}

INSTANTIATE_TEST_SUITE_P(ProbedPairs, SockDiagRequest,
                         ::testing::Values(RequestCase{2, 6, 1}, RequestCase{2, 17, 2}, RequestCase{10, 6, 3},
                                           RequestCase{10, 17, 4}, RequestCase{2, 253, 0xA1B2C3D4U}),
                         [](const ::testing::TestParamInfo<RequestCase>& param_info) {
                             const RequestCase& c = param_info.param;
                             return "family" + std::to_string(c.family) + "_protocol" + std::to_string(c.protocol) +
                                    "_sequence" + std::to_string(c.sequence);
                         });

}  // namespace
}  // namespace quillmere
