#include "app_routing/reply_check.hpp"

#include <gtest/gtest.h>

#include <array>
#include <cstring>
#include <functional>
#include <ostream>
#include <string>

namespace quillmere {
namespace {

constexpr std::uint32_t kPort = 31337;
constexpr std::uint32_t kSequence = 3;

// A received datagram as the probe keeps it, starting as the one answer that counts: a bare
// end-of-dump from the kernel, for our port and sequence, with status 0.
struct Datagram {
    std::array<unsigned char, kReplyBufferSize> buffer{};
    nlmsghdr header{20, NLMSG_DONE, NLM_F_MULTI, kSequence, kPort};
    std::int32_t status = 0;
    std::size_t length = 20;
    sockaddr_nl source{AF_NETLINK, 0, 0, 0};
    socklen_t source_length = sizeof(sockaddr_nl);

    ReplyVerdict judge() {
        std::memcpy(buffer.data(), &header, sizeof header);
        std::memcpy(buffer.data() + sizeof header, &status, sizeof status);
        return judge_sock_diag_reply(ReceivedDatagram{buffer, length, source, source_length}, kPort, kSequence);
    }
};

struct ReplyCase {
    std::string name;
    std::function<void(Datagram&)> change;
    ReplyVerdict verdict;
};

void PrintTo(const ReplyCase& c, std::ostream* out) { *out << c.name; }

class SockDiagReply : public ::testing::TestWithParam<ReplyCase> {};

TEST_P(SockDiagReply, FirstFailingTestDecides) {
    Datagram datagram;
    GetParam().change(datagram);
    EXPECT_EQ(datagram.judge(), GetParam().verdict);
}

const ReplyCase kReplyCases[] = {
    {"clean_end_of_dump", [](Datagram&) {}, ReplyVerdict::supported},
    // 1: longer than the buffer, whatever else it holds
    {"one_byte_too_long", [](Datagram& d) { d.length = 4097; }, ReplyVerdict::truncated},
    {"far_too_long_and_from_a_process",
     [](Datagram& d) {
         d.length = 70000;
         d.source.nl_pid = 99;
     },
     ReplyVerdict::truncated},
    // 2 to 4: the source address
    {"empty_source_address", [](Datagram& d) { d.source_length = 0; }, ReplyVerdict::source_length_wrong},
    {"short_source_address", [](Datagram& d) { d.source_length = 8; }, ReplyVerdict::source_length_wrong},
    {"long_source_address", [](Datagram& d) { d.source_length = 16; }, ReplyVerdict::source_length_wrong},
    {"source_not_netlink", [](Datagram& d) { d.source.nl_family = AF_UNIX; }, ReplyVerdict::source_not_netlink},
    {"source_is_a_process", [](Datagram& d) { d.source.nl_pid = 4242; }, ReplyVerdict::source_not_kernel},
    {"process_source_before_short_length",
     [](Datagram& d) {
         d.source.nl_pid = 1;
         d.length = 4;
     },
     ReplyVerdict::source_not_kernel},
    // 5: shorter than a header
    {"empty_datagram", [](Datagram& d) { d.length = 0; }, ReplyVerdict::shorter_than_header},
    {"fifteen_bytes", [](Datagram& d) { d.length = 15; }, ReplyVerdict::shorter_than_header},
    {"short_length_before_groups",
     [](Datagram& d) {
         d.length = 15;
         d.source.nl_groups = 1;
     },
     ReplyVerdict::shorter_than_header},
    // 6: a multicast notification
    {"source_groups", [](Datagram& d) { d.source.nl_groups = 1; }, ReplyVerdict::source_has_groups},
    // 7, 8: for another socket or another request
    {"other_port_id", [](Datagram& d) { d.header.nlmsg_pid = kPort + 1; }, ReplyVerdict::port_id_mismatch},
    {"port_id_zero", [](Datagram& d) { d.header.nlmsg_pid = 0; }, ReplyVerdict::port_id_mismatch},
    {"other_sequence", [](Datagram& d) { d.header.nlmsg_seq = kSequence + 1; }, ReplyVerdict::sequence_mismatch},
    {"port_before_sequence",
     [](Datagram& d) {
         d.header.nlmsg_pid = 1;
         d.header.nlmsg_seq = 9;
     },
     ReplyVerdict::port_id_mismatch},
    // 9: exactly NLM_F_MULTI
    {"no_flags", [](Datagram& d) { d.header.nlmsg_flags = 0; }, ReplyVerdict::flags_not_multi},
    {"multi_and_dump_interrupted", [](Datagram& d) { d.header.nlmsg_flags = NLM_F_MULTI | NLM_F_DUMP_INTR; },
     ReplyVerdict::flags_not_multi},
    {"multi_and_high_bit", [](Datagram& d) { d.header.nlmsg_flags = NLM_F_MULTI | 0x8000; },
     ReplyVerdict::flags_not_multi},
    {"kernel_error_reply",  // what a kernel without a handler sends: flags checked before type
     [](Datagram& d) {
         d.header = nlmsghdr{36, NLMSG_ERROR, 0x100, kSequence, kPort};
         d.status = -2;
         d.length = 36;
     },
     ReplyVerdict::flags_not_multi},
    // 10: anything but an end-of-dump
    {"error_type_with_multi", [](Datagram& d) { d.header.nlmsg_type = NLMSG_ERROR; }, ReplyVerdict::not_end_of_dump},
    {"socket_record",
     [](Datagram& d) {
         d.header.nlmsg_type = 20;
         d.header.nlmsg_len = 72;
         d.length = 72;
     },
     ReplyVerdict::not_end_of_dump},
    // 11: an end-of-dump carrying more than its status
    {"end_of_dump_with_attributes",
     [](Datagram& d) {
         d.header.nlmsg_len = 28;
         d.length = 28;
     },
     ReplyVerdict::length_field_wrong},
    {"length_field_of_header_only",
     [](Datagram& d) {
         d.header.nlmsg_len = 16;
         d.length = 16;
     },
     ReplyVerdict::length_field_wrong},
    // 12: the datagram and its header disagree
    {"datagram_longer_than_message", [](Datagram& d) { d.length = 24; }, ReplyVerdict::length_mismatch},
    {"status_cut_off", [](Datagram& d) { d.length = 16; }, ReplyVerdict::length_mismatch},
    // then the status
    {"status_minus_one", [](Datagram& d) { d.status = -1; }, ReplyVerdict::status_nonzero},
    {"status_positive", [](Datagram& d) { d.status = 1; }, ReplyVerdict::status_nonzero},
};

INSTANTIATE_TEST_SUITE_P(Replies, SockDiagReply, ::testing::ValuesIn(kReplyCases),
                         [](const ::testing::TestParamInfo<ReplyCase>& param_info) { return param_info.param.name; });

TEST(SockDiagReplyBuffer, LengthBeyondAShortBufferIsTruncated) {
    // The judge never reads past what it was given, even for a buffer smaller than the usual one.
    std::array<unsigned char, 16> small{};
    const nlmsghdr header{20, NLMSG_DONE, NLM_F_MULTI, kSequence, kPort};
    std::memcpy(small.data(), &header, sizeof header);
    const ReceivedDatagram datagram{small, 20, sockaddr_nl{AF_NETLINK, 0, 0, 0}, sizeof(sockaddr_nl)};
    EXPECT_EQ(judge_sock_diag_reply(datagram, kPort, kSequence), ReplyVerdict::truncated);
}

}  // namespace
}  // namespace quillmere
