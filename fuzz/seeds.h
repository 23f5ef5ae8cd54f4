// Input layouts shared by the fuzz targets and their seed writer.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "network/message.h"

namespace fuzzseeds {

// Protocol inputs: a 16-byte session (own address, peer address, the two
// sequence counters, 16 bits each) in front of the datagram.
constexpr size_t kSessionBytes = 16;
inline constexpr proto::MacAddress kClientAddress{0x02, 0, 0, 0, 0, 0x01};
inline constexpr proto::MacAddress kServerAddress{0x02, 0, 0, 0, 0, 0x02};

inline std::string sessionPrefix() {
    std::string s(reinterpret_cast<const char*>(kClientAddress.data()), 6);
    s.append(6, '\0');  // no server chosen yet
    s.append("\0\0\0\0", 4);
    return s;
}

// Database inputs: the files of one package's directory, in this order, each
// as a segment ended by a NUL byte; a segment that starts with '+' is the file
// (the rest its content), any other segment means the file is absent.
inline constexpr const char* kDatabaseFiles[] = {"version", "deps",     "provides", "conflicts", "files",
                                                 "bundle",  "disabled", "enabled",  "schedule"};

inline std::string databaseInput(const std::vector<std::pair<std::string, std::string>>& files) {
    std::string out;
    for (const char* name : kDatabaseFiles) {
        for (const auto& [n, content] : files) {
            if (n == name) {
                out += '+';
                out += content;
                break;
            }
        }
        out += '\0';
    }
    return out;
}

// Splits a database input back into (present, content) per file.
inline std::vector<std::pair<bool, std::string_view>> databaseSegments(std::string_view input) {
    std::vector<std::pair<bool, std::string_view>> out;
    for (size_t i = 0; i < std::size(kDatabaseFiles); ++i) {
        size_t end = input.find('\0');
        std::string_view segment = input.substr(0, end);
        input = end == std::string_view::npos ? std::string_view() : input.substr(end + 1);
        bool present = !segment.empty() && segment[0] == '+';
        out.emplace_back(present, present ? segment.substr(1) : std::string_view());
    }
    return out;
}

}  // namespace fuzzseeds
