// The vgctl tool as a child process against the fake service: what it sends,
// what it prints and its exit status.
#include <cstring>

#include "VGClient/vgwire.h"
#include "tests/fake_service.h"
#include "tests/test_env.h"
#include "tests/vgctl_runner.h"

namespace {

using Result = VgctlResult;

class Vgctl : public VgServiceTest {
protected:
    // Answers every request with these u32 words at byte offsets 8, 12, 16, …
    // (the status first), cut to the command's reply size.
    void Answer(std::initializer_list<uint32_t> words) {
        Bytes reply(8 + 4 * words.size(), 0);
        size_t off = 8;
        for (uint32_t w : words) std::memcpy(&reply[off], &w, 4), off += 4;
        m_service->SetHandler([reply](const Bytes& req) {
            FakeAction a;
            a.reply = reply;
            a.reply.resize(ReplySize(U32At(req, 4)), 0);
            return a;
        });
    }
    Bytes OnlyRequest() {
        auto r = m_service->Requests();
        EXPECT_EQ(r.size(), 1u);
        return r.empty() ? Bytes(1104) : r[0];
    }
};

TEST_F(Vgctl, PrintsListAnswer) {
    Answer({0, 1});
    Result r = RunVgctl("is-trusted 10.0.0.1");
    EXPECT_EQ(r.status, 0) << r.out;
    EXPECT_TRUE(Contains(r.out, "trusted=1\nhr=0x00000000\n")) << r.out;
    EXPECT_EQ(U32At(OnlyRequest(), 4), static_cast<uint32_t>(VGCMD_ISTRUSTED));
}

TEST_F(Vgctl, SendsServiceByNameOrNumber) {
    Answer({0, 0, 7});
    Result r = RunVgctl("allow 10.0.0.2 --service WM --account bob");
    EXPECT_EQ(r.status, 0) << r.out;
    EXPECT_TRUE(Contains(r.out, "verdict=refuse (0)\ninfo1=7\n")) << r.out;
    r = RunVgctl("auth-fail bob 10.0.0.2 --service=0x0D --text PLAIN --note n");
    EXPECT_EQ(r.status, 0) << r.out;

    const auto reqs = m_service->Requests();
    ASSERT_EQ(reqs.size(), 2u);
    EXPECT_EQ(U32At(reqs[0], 4), static_cast<uint32_t>(VGCMD_ALLOWCONNECTION));
    EXPECT_EQ(U32At(reqs[0], 172), 4u);
    EXPECT_EQ(TextAt(reqs[0], 176, 319), "bob");
    EXPECT_EQ(U32At(reqs[1], 492), 13u);
    EXPECT_EQ(TextAt(reqs[1], 496, 32), "PLAIN");
    EXPECT_EQ(TextAt(reqs[1], 847, 256), "n");
}

TEST_F(Vgctl, GeoDataByIdDumpsRecord) {
    Answer({0, 0, 232, 0x44434241});
    Result r = RunVgctl("geo-data --id 1 0x20 3 --param 9");
    EXPECT_EQ(r.status, 0) << r.out;
    EXPECT_TRUE(Contains(r.out, "0000  e8 00 00 00 41 42 43 44")) << r.out;
    const Bytes req = OnlyRequest();
    EXPECT_EQ(U32At(req, 84), 1u);
    EXPECT_EQ(U32At(req, 88), 0x20u);
    EXPECT_EQ(U32At(req, 92), 3u);
    EXPECT_EQ(U32At(req, 152), 9u);
}

TEST_F(Vgctl, FailuresExitOne) {
    Answer({0x80004005u});
    Result r = RunVgctl("auth-ok bob 10.0.0.3 --service smtp");
    EXPECT_EQ(r.status, 1) << r.out;
    EXPECT_TRUE(Contains(r.out, "hr=0x80004005")) << r.out;

    m_service.reset();
    r = RunVgctl("is-black 10.0.0.3");
    EXPECT_EQ(r.status, 1) << r.out;
    EXPECT_TRUE(Contains(r.out, "error=" + SystemText(2) + "\nhr=0x80070002")) << r.out;
}

TEST_F(Vgctl, FormatPrintsMessageTexts) {
    Result r = RunVgctl("format 0xC1500009");
    EXPECT_EQ(r.status, 0) << r.out;
    EXPECT_EQ(r.out, "Vigilon Service starting\nhr=0x00000000\n");
    r = RunVgctl("format -2147024891");  // 0x80070005
    EXPECT_TRUE(Contains(r.out, SystemText(5) + "\n")) << r.out;
    r = RunVgctl("format 0x41500002");
    EXPECT_EQ(r.status, 1) << r.out;
    EXPECT_EQ(r.out, "hr=0x80070490\n");
}

TEST_F(Vgctl, UsageErrorsSendNothing) {
    for (const char* args : {"", "frob", "is-white", "is-white 1.2.3.4 5.6.7.8", "is-white --bogus 1.2.3.4",
                             "allow 1.2.3.4", "allow 1.2.3.4 --service", "allow 1.2.3.4 --service nntp",
                             "allow 1.2.3.4 --service imap --param1 1", "geo-data --id 1 2",
                             "geo-data --id 1 2 0x100000000", "auth-fail bob 1.2.3.4 --service imap"}) {
        Result r = RunVgctl(args);
        EXPECT_EQ(r.status, 2) << args << "\n" << r.out;
        EXPECT_TRUE(Contains(r.out, "usage: vgctl")) << args << "\n" << r.out;
    }
    EXPECT_EQ(m_service->RequestCount(), 0u);
}

TEST_F(Vgctl, HelpListsEveryCommand) {
    for (const char* args : {"--help", "-h", "help"}) EXPECT_EQ(RunVgctl(args).status, 0) << args;
    const Result r = RunVgctl("help");
    for (const char* name : {"is-white IP", "is-black", "is-trusted", "geo-blocked", "geo-data", "allow", "auth-fail",
                             "auth-ok", "format CODE", "VIGILON_PIPE_DIR", "VIGILON_REGISTRY"})
        EXPECT_TRUE(Contains(r.out, name)) << name;
    EXPECT_TRUE(Contains(RunVgctl("help auth-ok").out, "usage: vgctl auth-ok ACCOUNT IP --service S"));
}

}  // namespace
