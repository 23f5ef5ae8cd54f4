#include "archive/field25519.h"

#include <gtest/gtest.h>

#include <random>
#include <vector>

#include "curve_reference.h"

namespace {

using archive::field::Bytes32;
namespace ref = reference;

// Values that stress the carries and the final reduction, then random ones
// over the whole 255-bit range (values >= p included).
std::vector<Bytes32> sampleValues() {
    std::vector<Bytes32> values;
    auto fromNum = [](const ref::Num& n) { return ref::toBytes(n); };
    values.push_back(Bytes32{});
    values.push_back(fromNum(ref::small(1)));
    values.push_back(fromNum(ref::small(19)));
    values.push_back(fromNum(ref::subRaw(ref::P(), ref::small(1))));  // p - 1
    values.push_back(fromNum(ref::P()));                              // p, reads as 0
    values.push_back(fromNum(ref::subRaw(ref::P(), ref::small(20))));
    Bytes32 top;
    top.fill(0xFF);
    top[31] = 0x7F;  // 2^255 - 1 = p + 18
    values.push_back(top);
    Bytes32 limbEdges{};
    for (int i = 0; i < 32; ++i) limbEdges[i] = (i % 3) ? 0xFF : 0x00;
    limbEdges[31] &= 0x7F;
    values.push_back(limbEdges);
    std::mt19937_64 rng(20261207);
    for (int i = 0; i < 200; ++i) {
        Bytes32 b = ref::randomBytes(rng);
        b[31] &= 0x7F;
        values.push_back(b);
    }
    return values;
}

template <class F>
class FieldTest : public ::testing::Test {};

#ifdef FIELD_HAVE_FE51
using FieldTypes = ::testing::Types<archive::field::Fe10, archive::field::Fe51>;
#else
using FieldTypes = ::testing::Types<archive::field::Fe10>;
#endif
TYPED_TEST_SUITE(FieldTest, FieldTypes);

TYPED_TEST(FieldTest, EncodingIsCanonical) {
    using F = TypeParam;
    for (const Bytes32& b : sampleValues()) {
        F f = F::fromBytes(b);
        EXPECT_EQ(f.toBytes(), ref::toBytes(ref::reduce(ref::fromBytes(b))));
        EXPECT_EQ(f.isOdd(), ref::isOdd(ref::fromBytes(b)));
    }
    // Bit 255 is not part of the value.
    Bytes32 high{};
    high[31] = 0x80;
    EXPECT_EQ(F::fromBytes(high).toBytes(), Bytes32{});
}

TYPED_TEST(FieldTest, ArithmeticMatchesBigIntegers) {
    using F = TypeParam;
    std::vector<Bytes32> values = sampleValues();
    for (size_t i = 0; i + 3 < values.size(); ++i) {
        const Bytes32 &a = values[i], &b = values[i + 1], &c = values[i + 2], &d = values[i + 3];
        F fa = F::fromBytes(a), fb = F::fromBytes(b), fc = F::fromBytes(c), fd = F::fromBytes(d);
        ref::Num na = ref::fromBytes(a), nb = ref::fromBytes(b), nc = ref::fromBytes(c), nd = ref::fromBytes(d);
        SCOPED_TRACE(i);
        EXPECT_EQ((fa + fb).toBytes(), ref::toBytes(ref::add(na, nb)));
        EXPECT_EQ((fa - fb).toBytes(), ref::toBytes(ref::sub(na, nb)));
        EXPECT_EQ((fa * fb).toBytes(), ref::toBytes(ref::mul(na, nb)));
        EXPECT_EQ(fa.sq().toBytes(), ref::toBytes(ref::mul(na, na)));
        // Unreduced sums and differences going straight into products and squares.
        EXPECT_EQ(((fa + fb) * (fc - fd)).toBytes(),
                  ref::toBytes(ref::mul(ref::add(na, nb), ref::sub(nc, nd))));
        EXPECT_EQ((fa - fb).sq().toBytes(), ref::toBytes(ref::mul(ref::sub(na, nb), ref::sub(na, nb))));
        EXPECT_EQ(((fa - fb) - (fc + fd)).carry().toBytes(),
                  ref::toBytes(ref::sub(ref::sub(na, nb), ref::add(nc, nd))));
        uint32_t k = uint32_t(a[0] | a[1] << 8 | a[2] << 16 | (a[3] & 0x7F) << 24);
        for (uint32_t constant : {1u, 9u, 121665u, 486662u, 39420360u, k})
            EXPECT_EQ((fa + fb).mulSmall(constant).toBytes(),
                      ref::toBytes(ref::mul(ref::add(na, nb), ref::small(constant))));
    }
}

TYPED_TEST(FieldTest, InverseAndSquareRootPower) {
    using F = TypeParam;
    std::vector<Bytes32> values = sampleValues();
    const ref::Num rootExponent = {{0xFFFFFFFFFFFFFFFDull, ~0ull, ~0ull, 0x0FFFFFFFFFFFFFFFull}};  // 2^252 - 3
    for (size_t i = 0; i < values.size(); i += 7) {
        ref::Num n = ref::fromBytes(values[i]);
        F f = F::fromBytes(values[i]);
        EXPECT_EQ(archive::field::invert(f).toBytes(), ref::toBytes(ref::inverse(n))) << i;
        EXPECT_EQ(archive::field::pow22523(f).toBytes(), ref::toBytes(ref::power(n, rootExponent))) << i;
    }
    // The inverse of 0 (also written as p) comes out as 0.
    EXPECT_EQ(archive::field::invert(F::fromInt(0)).toBytes(), Bytes32{});
    EXPECT_EQ(archive::field::invert(F::fromBytes(ref::toBytes(ref::P()))).toBytes(), Bytes32{});
}

}  // namespace
