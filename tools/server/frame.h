// The IPv4 packets of one reply, built by the server itself: a reply goes out
// in frames addressed to its machine's MAC address through a packet socket,
// below the kernel's IP layer, so the headers, checksums, identification and
// fragmentation are ours to get right.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace castdeploy {

// Addresses in network byte order, ports in host order.
struct UdpAddressing {
    uint32_t source = 0;
    uint32_t destination = 0xffffffff;
    uint16_t sourcePort = 0;
    uint16_t destinationPort = 0;
};

// The one's complement sum of data as 16-bit big-endian words (an odd last
// byte padded with zero), added to `sum` and folded to 16 bits; not inverted.
uint16_t onesComplementSum(const uint8_t* data, size_t size, uint32_t sum = 0);

// Makes the IPv4 packets that carry one UDP datagram: a single packet when it
// fits the MTU, otherwise fragments of at most `mtu` bytes (the data of every
// fragment but the last a multiple of 8 bytes, "more fragments" on all but the
// last, only the first carrying the UDP header). Each datagram takes the next
// identification; the UDP checksum is computed.
class DatagramPackets {
public:
    explicit DatagramPackets(uint16_t firstId) : nextId_(firstId) {}

    // The packets for payload, valid until the next call.
    const std::vector<std::vector<uint8_t>>& make(const UdpAddressing& a, const uint8_t* payload, size_t size,
                                                  int mtu);

private:
    uint16_t nextId_;
    std::vector<uint8_t> datagram_;  // UDP header and payload
    std::vector<std::vector<uint8_t>> packets_;
};

}  // namespace castdeploy
