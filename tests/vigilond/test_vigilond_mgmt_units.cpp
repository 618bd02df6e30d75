// The pieces of the management side below the pipe: session expiry and
// limits, password hashes, and Base64 decoding of sealed texts.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "service/mgmt.h"
#include "sharedcode/platform/credentials.h"
#include "sharedcode/platform/crypto.h"
#include "sharedcode/platform/process.h"

using namespace vgsvc;

TEST(VigilondSessions, ExpireWhenIdleAndEndOnce) {
    Sessions s;
    VGITEMID a, b;
    ASSERT_TRUE(s.Open("alice", 1000, 60, &a));
    ASSERT_TRUE(s.Open("bob", 1000, 60, &b));
    std::string who;
    // Each use restarts the idle time.
    EXPECT_TRUE(s.Touch(a, 1050, 60, &who));
    EXPECT_EQ(who, "alice");
    EXPECT_TRUE(s.Touch(a, 1110, 60, nullptr));
    EXPECT_FALSE(s.Touch(b, 1061, 60, nullptr));  // idle 61 s
    EXPECT_FALSE(s.End(b, nullptr));               // and gone
    EXPECT_EQ(s.Count(), 1u);
    EXPECT_TRUE(s.End(a, &who));
    EXPECT_FALSE(s.Touch(a, 1110, 60, nullptr));
}

TEST(VigilondSessions, AtMostTheLimitAtOnce) {
    Sessions s;
    VGITEMID id;
    for (size_t i = 0; i < kMaxSessions; ++i) ASSERT_TRUE(s.Open("admin", 0, 60, &id));
    EXPECT_FALSE(s.Open("admin", 60, 60, &id));
    // Sessions idle past their time make room.
    EXPECT_TRUE(s.Open("admin", 61, 60, &id));
    EXPECT_EQ(s.Count(), 1u);
}

TEST(VigilondCredentials, HashesAreYescryptWithSaltAndCheckExactly) {
    char h1[plat::kPasswordHashSize], h2[plat::kPasswordHashSize];
    ASSERT_TRUE(plat::HashPassword("correct horse", h1, sizeof(h1)));
    ASSERT_TRUE(plat::HashPassword("correct horse", h2, sizeof(h2)));
    EXPECT_EQ(std::string(h1, 3), "$y$");
    EXPECT_STRNE(h1, h2);  // a fresh salt each time
    EXPECT_TRUE(plat::CheckPassword("correct horse", h1));
    EXPECT_TRUE(plat::CheckPassword("correct horse", h2));
    EXPECT_FALSE(plat::CheckPassword("correct horsE", h1));
    EXPECT_EQ(plat::GetLastError(), static_cast<DWORD>(ERROR_LOGON_FAILURE));
    EXPECT_FALSE(plat::CheckPassword("", h1));
    EXPECT_FALSE(plat::CheckPassword("correct horse", "not a hash"));
    EXPECT_FALSE(plat::CheckPassword("x", ""));

    const std::string tooLong(plat::kMaxPasswordLength + 1, 'p');
    EXPECT_FALSE(plat::HashPassword(tooLong.c_str(), h1, sizeof(h1)));
    EXPECT_FALSE(plat::HashPassword("pw", h1, 8));
    EXPECT_EQ(plat::GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
}

TEST(VigilondCredentials, Base64DecodesWhatTheEncoderWrites) {
    // Every length around the encoder's 48-byte lines, line breaks included.
    for (DWORD cb : {0u, 1u, 2u, 3u, 47u, 48u, 49u, 200u}) {
        std::string bytes(cb, '\0');
        for (DWORD i = 0; i < cb; ++i) bytes[i] = static_cast<char>(i * 37 + 1);
        char text[512];
        DWORD cch = sizeof(text);
        ASSERT_TRUE(plat::CryptBinaryToStringA(reinterpret_cast<const BYTE*>(bytes.data()), cb,
                                               plat::kCryptStringBase64, text, &cch));
        DWORD cbOut = 0;
        ASSERT_TRUE(plat::CryptStringToBinaryA(text, 0, plat::kCryptStringBase64, nullptr, &cbOut)) << cb;
        EXPECT_EQ(cbOut, cb);
        std::string out(cb + 1, '\0');
        cbOut = cb + 1;
        ASSERT_TRUE(plat::CryptStringToBinaryA(text, 0, plat::kCryptStringBase64,
                                               reinterpret_cast<BYTE*>(&out[0]), &cbOut));
        EXPECT_EQ(out.substr(0, cbOut), bytes) << cb;
    }
    BYTE b[8];
    DWORD cb = 1;
    EXPECT_FALSE(plat::CryptStringToBinaryA("aGVsbG8=", 0, plat::kCryptStringBase64, b, &cb));
    EXPECT_EQ(plat::GetLastError(), static_cast<DWORD>(ERROR_MORE_DATA));
    for (const char* bad : {"aGVsbG8", "aGV*bG8=", "a===", "aGVsbG8=aGVs"}) {
        cb = sizeof(b);
        EXPECT_FALSE(plat::CryptStringToBinaryA(bad, 0, plat::kCryptStringBase64, b, &cb)) << bad;
        EXPECT_EQ(plat::GetLastError(), static_cast<DWORD>(ERROR_INVALID_DATA)) << bad;
    }
}
