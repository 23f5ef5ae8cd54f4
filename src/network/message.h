// The datagram of the installation protocol: a 20-byte header followed by up to
// 4076 bytes of payload. Shared by the installer's client and the server tool,
// so it depends on nothing but the standard library.
#pragma once

#include <array>
#include <cstdint>
#include <cstring>
#include <string_view>

namespace proto {

constexpr uint16_t kPort = 5000;
constexpr int kHeaderSize = 20;
constexpr int kMessageSize = 4096;
constexpr int kMaxPayload = kMessageSize - kHeaderSize;  // 4076

using MacAddress = std::array<uint8_t, 6>;

inline bool isZero(const MacAddress& a) {
    for (uint8_t b : a)
        if (b) return false;
    return true;
}

// "%02X:%02X:%02X:%02X:%02X:%02X"
inline std::array<char, 18> formatMac(const MacAddress& a) {
    static const char digits[] = "0123456789ABCDEF";
    std::array<char, 18> out{};
    for (int i = 0; i < 6; ++i) {
        out[i * 3] = digits[a[i] >> 4];
        out[i * 3 + 1] = digits[a[i] & 15];
        out[i * 3 + 2] = i == 5 ? '\0' : ':';
    }
    return out;
}

// One message buffer. All 16-bit fields are little-endian on the wire; the
// accessors convert, so the buffer can be sent and received as it is.
struct Message {
    uint8_t bytes[kMessageSize];

    void clear() { std::memset(bytes, 0, sizeof bytes); }

    MacAddress source() const { return mac(0); }
    MacAddress destination() const { return mac(6); }
    void setSource(const MacAddress& a) { std::memcpy(bytes, a.data(), 6); }
    void setDestination(const MacAddress& a) { std::memcpy(bytes + 6, a.data(), 6); }

    uint16_t length() const { return get16(14); }
    uint16_t sequence() const { return get16(16); }
    uint16_t ack() const { return get16(18); }
    void setLength(uint16_t v) { put16(14, v); }
    void setSequence(uint16_t v) { put16(16, v); }
    void setAck(uint16_t v) { put16(18, v); }

    uint8_t* payload() { return bytes + kHeaderSize; }
    const uint8_t* payload() const { return bytes + kHeaderSize; }
    // The payload as text, bounded by `length` and by the buffer.
    std::string_view text() const {
        int n = length() > kMaxPayload ? kMaxPayload : length();
        return {reinterpret_cast<const char*>(payload()), static_cast<size_t>(n)};
    }
    bool startsWith(std::string_view word) const { return text().substr(0, word.size()) == word; }
    int size() const { return kHeaderSize + length(); }

    // Writes text as the payload and sets `length`; returns the payload length.
    int setText(std::string_view t) {
        size_t n = t.size() > static_cast<size_t>(kMaxPayload) ? kMaxPayload : t.size();
        t.copy(reinterpret_cast<char*>(payload()), n);
        setLength(static_cast<uint16_t>(n));
        return static_cast<int>(n);
    }

private:
    MacAddress mac(int at) const {
        MacAddress a;
        std::memcpy(a.data(), bytes + at, 6);
        return a;
    }
    uint16_t get16(int at) const { return static_cast<uint16_t>(bytes[at] | bytes[at + 1] << 8); }
    void put16(int at, uint16_t v) {
        bytes[at] = static_cast<uint8_t>(v);
        bytes[at + 1] = static_cast<uint8_t>(v >> 8);
    }
};

// A received datagram is well-formed only if it holds exactly header + length bytes.
inline bool wellFormed(const Message& m, int count) {
    return count >= kHeaderSize && count <= kMessageSize && count == kHeaderSize + m.length();
}

// Sequence numbers travel as 16 bits. Counters are compared on the wire modulo
// 65536, so a session may run past 65535 messages: `a` is "not after" `b` when
// it lies at most half the number space behind b.
inline bool notAfter16(uint16_t a, uint16_t b) { return static_cast<uint16_t>(b - a) < 0x8000; }

}  // namespace proto
