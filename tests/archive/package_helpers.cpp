#include "package_helpers.h"

#include <unistd.h>
#include <zlib.h>

#include <cstdlib>
#include <fstream>

#include "archive/hash.h"
#include "archive/writer/writer.h"

namespace testpkg {

std::string le16(uint16_t v) { return std::string{char(v & 0xff), char(v >> 8)}; }

std::string le32(uint32_t v) {
    return std::string{char(v & 0xff), char((v >> 8) & 0xff), char((v >> 16) & 0xff), char(v >> 24)};
}

std::string part(int type, std::string_view data, int64_t length) {
    return le16(uint16_t(type)) + le32(uint32_t(length < 0 ? int64_t(data.size()) : length)) + std::string(data);
}

std::string file(std::string_view parts, uint32_t magic, int64_t declared) {
    return le32(magic) + le32(uint32_t(declared < 0 ? int64_t(parts.size()) : declared)) + std::string(parts);
}

std::string header(std::string_view name, PackedVersion version, uint32_t buildTime) {
    return headerData(name, version, buildTime);
}

std::string deflated(std::string_view content) {
    uLongf size = compressBound(uLong(content.size()));
    std::string out(size, '\0');
    compress2(reinterpret_cast<Bytef*>(out.data()), &size, reinterpret_cast<const Bytef*>(content.data()),
              uLong(content.size()), 6);
    out.resize(size);
    return out;
}

std::string hexOf(const uint8_t* bytes, size_t n) {
    static const char digits[] = "0123456789abcdef";
    std::string out;
    for (size_t i = 0; i < n; ++i) {
        out += digits[bytes[i] >> 4];
        out += digits[bytes[i] & 15];
    }
    return out;
}

std::string sha1Hex(std::string_view bytes) {
    auto d = Sha1Hasher::digest(bytes.data(), bytes.size());
    return hexOf(d.data(), d.size());
}

TempFile::TempFile(std::string_view content) {
    char name[] = "/tmp/archive-test-XXXXXX";
    int fd = mkstemp(name);
    if (fd >= 0)
        close(fd);
    path = name;
    std::ofstream(path, std::ios::binary).write(content.data(), std::streamsize(content.size()));
}

TempFile::~TempFile() { unlink(path.c_str()); }

}  // namespace testpkg
