// The packet parser of the shaper: any bytes either hold no IP header (every
// pointer null) or give headers that lie whole inside the packet, in order.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "platform/diversion.h"

using namespace kestrune::platform;

namespace {

void check(bool condition)
{
    if (!condition)
        std::abort();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    // An exact copy, so that a read past the packet is caught.
    std::vector<uint8_t> packet(data, data + size);
    uint8_t *begin = packet.data();
    DivertHeaders headers{};
    const bool found = divert_parse_packet(begin, static_cast<uint32_t>(size), &headers);
    const uint8_t *ip = headers.ipv4 != nullptr ? headers.ipv4 : headers.ipv6;
    check(found == (ip != nullptr));
    check(headers.ipv4 == nullptr || headers.ipv6 == nullptr);
    if (!found) {
        check(headers.icmp == nullptr && headers.icmpv6 == nullptr);
        return 0;
    }
    check(ip == begin);
    for (const uint8_t *transport : {headers.icmp, headers.icmpv6})
        check(transport == nullptr || (transport > ip && transport + 8 <= begin + size));
    check(headers.icmp == nullptr || headers.ipv4 != nullptr);
    check(headers.icmpv6 == nullptr || headers.ipv6 != nullptr);
    return 0;
}
