// Building package bytes by hand for the archive tests.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "archive/format.h"

namespace testpkg {

std::string le16(uint16_t v);
std::string le32(uint32_t v);
// A part: 6-byte header and data; `length` overrides the declared length.
std::string part(int type, std::string_view data, int64_t length = -1);
inline std::string part(PartType type, std::string_view data, int64_t length = -1) {
    return part(static_cast<int>(type), data, length);
}
// File header + parts, with the right declared length unless one is given.
std::string file(std::string_view parts, uint32_t magic = kPackageMagic, int64_t declared = -1);
std::string header(std::string_view name, PackedVersion version = 0, uint32_t buildTime = 0);
// zlib data of `content`.
std::string deflated(std::string_view content);
std::string hexOf(const uint8_t* bytes, size_t n);
std::string sha1Hex(std::string_view bytes);

// A file on disk that disappears with the object.
struct TempFile {
    explicit TempFile(std::string_view content);
    ~TempFile();
    std::string path;
};

}  // namespace testpkg
