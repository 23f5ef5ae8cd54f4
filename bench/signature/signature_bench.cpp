// Times one package signature verification (the two-scalar ladder, three
// inversions/powers and two SHA-256) against one X25519 scalar multiplication
// of libsodium, measured in the same run, and prints the ratio.
#include <sodium.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <utility>

#include "archive/signature.h"
#include "archive/signer.h"

namespace {

// Best time per call over many short rounds, the two contenders taking turns,
// so that other load on the machine hits both alike and the minimum is clean.
template <class A, class B>
std::pair<double, double> bestNanosPerCall(int calls, A&& first, B&& second) {
    double best[2] = {1e300, 1e300};
    for (int round = 0; round < 41; ++round) {
        for (int which = 0; which < 2; ++which) {
            auto start = std::chrono::steady_clock::now();
            for (int i = 0; i < calls; ++i) which == 0 ? first(i) : second(i);
            std::chrono::duration<double, std::nano> took = std::chrono::steady_clock::now() - start;
            best[which] = std::min(best[which], took.count() / calls);
        }
    }
    return {best[0], best[1]};
}

}  // namespace

int main() {
    if (sodium_init() < 0) {
        std::fprintf(stderr, "libsodium failed to start\n");
        return 1;
    }
    auto pair = archive::generateKeyPair();
    archive::PackageDigest digest{};
    for (size_t i = 0; i < digest.size(); ++i) digest[i] = uint8_t(i * 13);
    auto record = archive::signDigest(digest, pair->privateKey);
    if (!pair || !record || !archive::verifySignatureRecord(digest, record->data(), pair->publicKey)) {
        std::fprintf(stderr, "could not make a valid signature\n");
        return 1;
    }

    const int calls = 50;
    int good = 0;
    unsigned char scalar[32], point[32], out[32];
    std::copy(pair->privateKey.begin(), pair->privateKey.end(), scalar);
    std::copy(pair->publicKey.begin(), pair->publicKey.end(), point);
    unsigned sink = 0;
    auto [ours, reference] = bestNanosPerCall(
        calls, [&](int) { good += archive::verifySignatureRecord(digest, record->data(), pair->publicKey); },
        [&](int i) {
            scalar[0] = uint8_t(i);
            if (crypto_scalarmult(out, scalar, point) == 0) sink += out[0];
        });
    std::printf("signature verification: %.1f us; libsodium X25519: %.1f us; ratio %.2f (goal <= 2.0)\n",
                ours / 1000, reference / 1000, ours / reference);
    return good == 41 * calls && sink != 1u << 31 ? 0 : 1;
}
