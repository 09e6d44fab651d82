// The Base64 encoder against the standard's vectors, and its length rule up to the 32-bit limit.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>

#include "screen/Base64.h"

namespace ovra::test {
namespace {

std::string encode(const std::string& in) {
    const size_t n = *base64Length(in.size());
    std::string out(n, '\0');
    base64Encode(reinterpret_cast<const uint8_t*>(in.data()), in.size(),
                 reinterpret_cast<uint8_t*>(out.data()));
    return out;
}

TEST(ScreenBase64, StandardVectors) {
    EXPECT_EQ(encode(""), "");
    EXPECT_EQ(encode("f"), "Zg==");
    EXPECT_EQ(encode("fo"), "Zm8=");
    EXPECT_EQ(encode("foo"), "Zm9v");
    EXPECT_EQ(encode("foob"), "Zm9vYg==");
    EXPECT_EQ(encode("fooba"), "Zm9vYmE=");
    EXPECT_EQ(encode("foobar"), "Zm9vYmFy");
    EXPECT_EQ(encode("\xfb\xff\xbf"), "+/+/");
}

TEST(ScreenBase64, LengthIsFourPerStartedGroupOfThree) {
    EXPECT_EQ(base64Length(0), 0u);
    EXPECT_EQ(base64Length(1), 4u);
    EXPECT_EQ(base64Length(3), 4u);
    EXPECT_EQ(base64Length(4), 8u);
    EXPECT_EQ(base64Length(1610612733), 2147483644u);
    EXPECT_EQ(base64Length(1610612734), 2147483648u);
    EXPECT_FALSE(base64Length(SIZE_MAX));
}

}  // namespace
}  // namespace ovra::test
