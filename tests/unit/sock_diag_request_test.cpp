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

void append_host_u32(Bytes& out, std::uint32_t value) {
    unsigned char raw[4];
    std::memcpy(raw, &value, sizeof raw);
    out.insert(out.end(), raw, raw + sizeof raw);
}

void append_host_u16(Bytes& out, std::uint16_t value) {
    unsigned char raw[2];
    std::memcpy(raw, &value, sizeof raw);
    out.insert(out.end(), raw, raw + sizeof raw);
}

// The request written out field by field from its documented layout, independent of the
// kernel's structure definitions.
Bytes expected_request(std::uint8_t family, std::uint8_t protocol, std::uint32_t sequence) {
    Bytes out;
    append_host_u32(out, 72);      // nlmsg_len
    append_host_u16(out, 20);      // SOCK_DIAG_BY_FAMILY
    append_host_u16(out, 0x301);   // NLM_F_REQUEST | NLM_F_ROOT | NLM_F_MATCH
    append_host_u32(out, sequence);
    append_host_u32(out, 0);       // nlmsg_pid
    out.push_back(family);
    out.push_back(protocol);
    out.push_back(0);              // idiag_ext
    out.push_back(0);              // pad
    append_host_u32(out, 0);       // idiag_states: none
    out.insert(out.end(), 2 + 2 + 16 + 16 + 4, 0);  // ports, addresses, interface
    append_host_u32(out, 0xFFFFFFFFU);
    append_host_u32(out, 0xFFFFFFFFU);
    return out;
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
