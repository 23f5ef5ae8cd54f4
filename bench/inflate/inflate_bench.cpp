// Inflates a 200 MB payload through InflatingStream, read in the 16 KiB
// chunks in which files are extracted, and with zlib called directly with
// 256 KiB buffers; prints the throughput ratio (goal: at least 0.8).
#include <zlib.h>

#include <ctime>
#include <cstdio>
#include <istream>
#include <streambuf>
#include <string>
#include <vector>

#include "archive/inflate.h"

namespace {

constexpr size_t kPayload = 200'000'000;

// A read-only stream buffer over memory (as the part stream is over a file).
class MemoryBuf : public std::streambuf {
public:
    MemoryBuf(const std::vector<unsigned char>& data) {
        char* p = const_cast<char*>(reinterpret_cast<const char*>(data.data()));
        setg(p, p, p + data.size());
    }
};

// Text-like content with some incompressible stretches, like a system tree.
std::vector<unsigned char> payload() {
    static const char* words[] = {"the ", "system ", "config ", "router ", "interface ", "address ", "0x1f ",
                                  "static ", "return ", "int ", "void ", "\n", "{ ", "} ", "if ", "else "};
    std::vector<unsigned char> out;
    out.reserve(kPayload);
    uint32_t x = 1;
    while (out.size() < kPayload) {
        x = x * 1103515245 + 12345;
        if ((x >> 26) == 0) {
            for (int i = 0; i < 256 && out.size() < kPayload; ++i) {
                x = x * 1103515245 + 12345;
                out.push_back((unsigned char)(x >> 24));
            }
        } else {
            for (const char* w = words[(x >> 20) & 15]; *w && out.size() < kPayload; ++w)
                out.push_back((unsigned char)*w);
        }
    }
    return out;
}

// Processor time of this process: the machine is shared, and wall-clock time
// would measure the neighbours as well.
double now() {
    timespec t;
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
    return double(t.tv_sec) + double(t.tv_nsec) * 1e-9;
}

}  // namespace

int main() {
    std::vector<unsigned char> raw = payload();
    std::vector<unsigned char> packed(compressBound(uLong(raw.size())));
    uLongf packedSize = uLongf(packed.size());
    compress2(packed.data(), &packedSize, raw.data(), uLong(raw.size()), 6);
    packed.resize(packedSize);
    uint32_t rawSum = uint32_t(adler32(1, raw.data(), uInt(raw.size())));
    raw = {};

    double bestDirect = 1e9, bestStream = 1e9;
    for (int round = 0; round < 3; ++round) {
        // zlib directly, 256 KiB buffers.
        {
            double t = now();
            z_stream z{};
            inflateInit(&z);
            std::vector<unsigned char> out(256 * 1024);
            size_t total = 0, at = 0;
            uint32_t sum = 1;
            int r = Z_OK;
            while (r != Z_STREAM_END) {
                if (z.avail_in == 0) {
                    size_t n = std::min<size_t>(256 * 1024, packed.size() - at);
                    z.next_in = packed.data() + at;
                    z.avail_in = uInt(n);
                    at += n;
                }
                z.next_out = out.data();
                z.avail_out = uInt(out.size());
                r = inflate(&z, Z_NO_FLUSH);
                if (r != Z_OK && r != Z_STREAM_END)
                    break;
                size_t got = out.size() - z.avail_out;
                sum = uint32_t(adler32(sum, out.data(), uInt(got)));
                total += got;
            }
            inflateEnd(&z);
            double s = now() - t;
            if (total != kPayload || sum != rawSum) {
                std::printf("inflate: zlib direct produced wrong data\n");
                return 1;
            }
            bestDirect = std::min(bestDirect, s);
        }
        // Through InflatingStream, 16 KiB reads.
        {
            double t = now();
            MemoryBuf source(packed);
            std::istream in(&source);
            InflatingStream inflating(in);
            std::vector<char> chunk(16384);
            size_t total = 0;
            uint32_t sum = 1;
            while (inflating.read(chunk.data(), std::streamsize(chunk.size())) || inflating.gcount() > 0) {
                sum = uint32_t(adler32(sum, reinterpret_cast<unsigned char*>(chunk.data()), uInt(inflating.gcount())));
                total += size_t(inflating.gcount());
            }
            double s = now() - t;
            if (total != kPayload || sum != rawSum) {
                std::printf("inflate: InflatingStream produced wrong data\n");
                return 1;
            }
            bestStream = std::min(bestStream, s);
        }
    }
    double mb = double(kPayload) / 1e6;
    double ratio = bestDirect / bestStream;
    std::printf("inflate: %zu compressed bytes to %.0f MB\n", packed.size(), mb);
    std::printf("inflate: InflatingStream %.0f MB/s, zlib direct (256 KiB buffers) %.0f MB/s\n", mb / bestStream,
                mb / bestDirect);
    std::printf("inflate: ratio %.2f (goal >= 0.8) %s\n", ratio, ratio >= 0.8 ? "met" : "NOT MET");
    return 0;
}
