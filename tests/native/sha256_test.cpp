// SHA-256 on both paths: the published vectors, every split of a stream, and the two paths
// against each other on lengths around the block and padding boundaries.
#include "archive/sha256.h"

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

namespace {

std::string Hex(const uint8_t* d) {
    static const char digits[] = "0123456789abcdef";
    std::string s;
    for (size_t i = 0; i < kSha256Size; ++i) {
        s += digits[d[i] >> 4];
        s += digits[d[i] & 15];
    }
    return s;
}

std::string Digest(const std::string& data) {
    uint8_t d[kSha256Size];
    Sha256(data.data(), data.size(), d);
    return Hex(d);
}

// The paths this processor can run; the accelerated one is skipped (and said) where it is
// missing.
std::vector<Sha256Path> Paths() {
    std::vector<Sha256Path> paths{kSha256Portable};
    if (Sha256HasAcceleration())
        paths.push_back(kSha256Accelerated);
    else
        printf("sha256: this processor has no SHA extensions; portable path only\n");
    return paths;
}

class Sha256Test : public ::testing::Test {
  protected:
    void TearDown() override {
        Sha256UsePath(Sha256HasAcceleration() ? kSha256Accelerated : kSha256Portable);
    }
};

TEST_F(Sha256Test, PublishedVectorsOnEveryPath) {
    const struct {
        std::string data;
        const char* digest;
    } vectors[] = {
        {"", "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
        {"abc", "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
        {"abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq",
         "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1"},
        {"abcdefghbcdefghicdefghijdefghijkefghijklfghijklmghijklmnhijklmnoijklmnopjklmnopqklmnop"
         "qrlmnopqrsmnopqrstnopqrstu",
         "cf5b16a778af8380036ce59e7b0492370b249b11e8f07a51afac45037afee9d1"},
        {std::string(1000000, 'a'),
         "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0"},
    };
    for (Sha256Path path : Paths()) {
        ASSERT_EQ(1, Sha256UsePath(path));
        EXPECT_EQ(path, Sha256CurrentPath());
        for (const auto& v : vectors)
            EXPECT_EQ(v.digest, Digest(v.data)) << "path " << path << ", " << v.data.size();
    }
}

TEST_F(Sha256Test, StreamingInAnySplitGivesTheOneShotDigest) {
    std::mt19937 rng(7);
    std::string data(5000, '\0');
    for (char& c : data)
        c = (char)rng();
    for (Sha256Path path : Paths()) {
        ASSERT_EQ(1, Sha256UsePath(path));
        const std::string whole = Digest(data);
        for (int trial = 0; trial < 200; ++trial) {
            Sha256Context c;
            Sha256Init(&c);
            size_t at = 0;
            while (at < data.size()) {
                // Pieces from empty to a few blocks, so every buffer state is met.
                const size_t piece = std::min(data.size() - at, (size_t)(rng() % 200));
                Sha256Update(&c, data.data() + at, piece);
                at += piece;
            }
            uint8_t d[kSha256Size];
            Sha256Final(&c, d);
            ASSERT_EQ(whole, Hex(d)) << "path " << path << ", trial " << trial;
        }
        // A finished context starts again from nothing.
        Sha256Context c;
        Sha256Init(&c);
        Sha256Update(&c, "xyz", 3);
        uint8_t d[kSha256Size];
        Sha256Final(&c, d);
        Sha256Update(&c, "abc", 3);
        Sha256Final(&c, d);
        EXPECT_EQ("ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad", Hex(d));
    }
}

TEST_F(Sha256Test, BothPathsAgreeAroundEveryBoundary) {
    if (!Sha256HasAcceleration())
        GTEST_SKIP() << "no SHA extensions on this processor";
    std::mt19937 rng(11);
    std::string data(70000, '\0');
    for (char& c : data)
        c = (char)rng();
    int compared = 0;
    for (size_t length = 0; length <= data.size(); length += (length < 300 ? 1 : 997)) {
        const std::string piece = data.substr(0, length);
        Sha256UsePath(kSha256Portable);
        const std::string portable = Digest(piece);
        Sha256UsePath(kSha256Accelerated);
        ASSERT_EQ(portable, Digest(piece)) << length;
        ++compared;
    }
    printf("sha256: both paths agree on %d lengths\n", compared);
}

} // namespace
