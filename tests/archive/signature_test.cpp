#include "archive/signature.h"

#include <gtest/gtest.h>

#include <random>

#include "archive/keys.h"
#include "curve_reference.h"

namespace {

using archive::Bytes32;
namespace ref = reference;

Bytes32 bytesFromHex(const char* hex) { return ref::toBytes(ref::fromHex(hex)); }

Bytes32 clamped(Bytes32 k) {
    k[0] &= 0xF8;
    k[31] = (k[31] & 0x7F) | 0x40;
    return k;
}

template <class F>
class LadderTest : public ::testing::Test {};
#ifdef FIELD_HAVE_FE51
using FieldTypes = ::testing::Types<archive::field::Fe10, archive::field::Fe51>;
#else
using FieldTypes = ::testing::Types<archive::field::Fe10>;
#endif
TYPED_TEST_SUITE(LadderTest, FieldTypes);

// With s = 0 the ladder gives u([k]G): the X25519 function of the scalar
// (clamped) and u = 9. Vectors: the Diffie-Hellman keys and one iteration.
TYPED_TEST(LadderTest, ZeroSIsX25519OfTheBasePoint) {
    struct Vector {
        const char* scalar;
        const char* u;
    } vectors[] = {
        {"77076d0a7318a57d3c16c17251b26645df4c2f87ebc0992ab177fba51db92c2a",
         "8520f0098930a754748b7ddcb43ef75a0dbf3a0d26381af4eba4a98eaa9b4e6a"},
        {"5dab087e624a8a4b79e17f8b83800ee66f3bb1292618b6fd1c2f8b27ff88e0eb",
         "de9edb7d7b7dc1b4d35b61c2ece435373f8343c85b78674dadfc7e146f882b4f"},
        {"0900000000000000000000000000000000000000000000000000000000000000",
         "422c8e7a6227d7bca1350b3e2bb7279f7897b87bb6854b783c60e80311ae3079"},
    };
    const Bytes32 key = archive::packagePublicKey;  // any usable P
    for (const Vector& v : vectors) {
        EXPECT_EQ(archive::twoScalarLadder<TypeParam>(Bytes32{}, clamped(bytesFromHex(v.scalar)), key),
                  bytesFromHex(v.u))
            << v.scalar;
    }
}

// For arbitrary s, k and P the ladder agrees with affine point arithmetic.
TYPED_TEST(LadderTest, MatchesAffinePointArithmetic) {
    std::mt19937_64 rng(7748);
    const ref::MaybePoint G = ref::baseG();
    for (int round = 0; round < 8; ++round) {
        ref::MaybePoint P = ref::scalarMul(ref::randomBytes(rng), G);
        ASSERT_TRUE(P);
        if (ref::isOdd(P->v)) P = ref::pointNeg(P);
        Bytes32 uP = ref::uOf(P);
        Bytes32 s = ref::randomBytes(rng), k = ref::randomBytes(rng);
        if (round == 1) s[31] |= 0x80;           // top bits of both scalars set
        if (round == 1) k[31] |= 0x80;
        if (round == 2) s = k;                   // equal scalars
        if (round == 3) s = Bytes32{};           // only the base point
        if (round == 4) k = Bytes32{};           // only P
        if (round == 5) s[0] |= 1, k[0] |= 1;    // final state 2
        if (round == 6) s[0] &= 0xFE, k[0] &= 0xFE;  // final state 0
        ref::MaybePoint expected = ref::pointAdd(ref::scalarMul(s, P), ref::pointNeg(ref::scalarMul(k, G)));
        EXPECT_EQ(archive::twoScalarLadder<TypeParam>(s, k, uP), ref::uOf(expected)) << "round " << round;
    }
}

// [s]P - [k]G is the neutral point: the ladder reports u = 0.
TYPED_TEST(LadderTest, NeutralPointGivesZero) {
    const Bytes32 key = archive::packagePublicKey;
    Bytes32 order = bytesFromHex("edd3f55c1a631258d69cf7a2def9de1400000000000000000000000000000010");
    EXPECT_EQ(archive::twoScalarLadder<TypeParam>(Bytes32{}, Bytes32{}, key), Bytes32{});
    EXPECT_EQ(archive::twoScalarLadder<TypeParam>(Bytes32{}, order, key), Bytes32{});
    EXPECT_EQ(archive::twoScalarLadder<TypeParam>(order, order, key), Bytes32{});
    // P = [2]G (even root or not, both signs cancel the same way once normalised).
    ref::MaybePoint twoG = ref::pointAdd(ref::baseG(), ref::baseG());
    Bytes32 two{};
    two[0] = 2;
    Bytes32 x = archive::twoScalarLadder<TypeParam>(Bytes32{{1}}, two, ref::uOf(twoG));
    ref::MaybePoint evenTwoG = ref::evenPoint(twoG->u);
    bool evenIsPlus = evenTwoG->v == ref::reduce(twoG->v);
    EXPECT_EQ(x == Bytes32{}, evenIsPlus);
}

TEST(PublicKey, UsableKeys) {
    EXPECT_TRUE(archive::isUsablePublicKey(archive::packagePublicKey));
    Bytes32 nine{};
    nine[0] = 9;
    EXPECT_TRUE(archive::isCurvePoint(nine));
    EXPECT_FALSE(archive::isUsablePublicKey(nine));
    Bytes32 two{};
    two[0] = 2;  // 8 + 4 * 486662 + 2 is not a square
    EXPECT_FALSE(archive::isCurvePoint(two));
    EXPECT_TRUE(archive::isCurvePoint(Bytes32{}));  // the point of order 2
    Bytes32 high = archive::packagePublicKey;
    high[31] |= 0x80;
    EXPECT_FALSE(archive::isUsablePublicKey(high));
    EXPECT_FALSE(archive::isCurvePoint(ref::toBytes(ref::P())));  // not reduced
}

}  // namespace
