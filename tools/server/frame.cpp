#include "frame.h"

#include <algorithm>
#include <cstring>

namespace castdeploy {

namespace {

constexpr size_t kIpHeader = 20, kUdpHeader = 8;
constexpr uint8_t kUdp = 17;
constexpr uint16_t kMoreFragments = 0x2000;

void put16(uint8_t* at, uint16_t v) {
    at[0] = static_cast<uint8_t>(v >> 8);
    at[1] = static_cast<uint8_t>(v);
}

}  // namespace

uint16_t onesComplementSum(const uint8_t* data, size_t size, uint32_t sum) {
    uint64_t s = sum;
    for (size_t i = 0; i + 1 < size; i += 2) s += static_cast<uint32_t>(data[i] << 8 | data[i + 1]);
    if (size & 1) s += static_cast<uint32_t>(data[size - 1] << 8);
    while (s >> 16) s = (s & 0xffff) + (s >> 16);
    return static_cast<uint16_t>(s);
}

const std::vector<std::vector<uint8_t>>& DatagramPackets::make(const UdpAddressing& a, const uint8_t* payload,
                                                              size_t size, int mtu) {
    size_t udpLength = kUdpHeader + size;
    datagram_.resize(udpLength);
    uint8_t* u = datagram_.data();
    put16(u, a.sourcePort);
    put16(u + 2, a.destinationPort);
    put16(u + 4, static_cast<uint16_t>(udpLength));
    put16(u + 6, 0);
    if (size) std::memcpy(u + kUdpHeader, payload, size);
    // Addresses stay in network order: their bytes are the words to sum.
    uint8_t pseudo[12];
    std::memcpy(pseudo, &a.source, 4);
    std::memcpy(pseudo + 4, &a.destination, 4);
    pseudo[8] = 0;
    pseudo[9] = kUdp;
    put16(pseudo + 10, static_cast<uint16_t>(udpLength));
    uint16_t sum = onesComplementSum(u, udpLength, onesComplementSum(pseudo, sizeof pseudo));
    uint16_t check = static_cast<uint16_t>(~sum);
    put16(u + 6, check == 0 ? 0xffff : check);  // 0 would mean "no checksum"

    // The MTU of the smallest IPv4 link at least; fragments carry multiples of 8.
    size_t room = static_cast<size_t>(std::max(mtu, 68)) - kIpHeader;
    size_t step = udpLength <= room ? udpLength : room & ~size_t{7};
    uint16_t id = nextId_++;
    size_t count = (udpLength + step - 1) / step;
    packets_.resize(count);
    for (size_t k = 0; k < count; ++k) {
        size_t offset = k * step;
        size_t n = std::min(step, udpLength - offset);
        std::vector<uint8_t>& p = packets_[k];
        p.resize(kIpHeader + n);
        uint8_t* h = p.data();
        h[0] = 0x45;  // version 4, five words of header
        h[1] = 0;
        put16(h + 2, static_cast<uint16_t>(kIpHeader + n));
        put16(h + 4, id);
        put16(h + 6, static_cast<uint16_t>(offset / 8 | (k + 1 < count ? kMoreFragments : 0)));
        h[8] = 64;
        h[9] = kUdp;
        put16(h + 10, 0);
        std::memcpy(h + 12, &a.source, 4);
        std::memcpy(h + 16, &a.destination, 4);
        put16(h + 10, static_cast<uint16_t>(~onesComplementSum(h, kIpHeader)));
        std::memcpy(h + kIpHeader, u + offset, n);
    }
    return packets_;
}

}  // namespace castdeploy
