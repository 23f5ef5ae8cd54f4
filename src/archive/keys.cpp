#include "archive/keys.h"

namespace archive {

const TrustAnchors& builtinTrustAnchors() {
    static const TrustAnchors anchors{packagePublicKey, knownPackageDigests};
    return anchors;
}

}  // namespace archive
