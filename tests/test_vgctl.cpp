// The vgctl tool as a child process against the fake service: what it sends,
// what it prints and its exit status.
#include <cstring>
#include <string>
#include <utility>
#include <vector>

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
    void Answer(const std::vector<uint32_t>& words) {
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
};

// Each command sends its request with the arguments in place, prints the
// answer and exits 1 on a failure status.
TEST_F(Vgctl, CommandsSendTheirRequestAndPrintTheAnswer) {
    struct Case {
        const char* args;
        std::vector<uint32_t> reply;  // the status, then the answer's words
        int status;
        std::string out;
        uint32_t command;
        std::vector<std::pair<size_t, uint32_t>> words;
        std::vector<std::pair<size_t, std::string>> texts;  // each in a field of 32 or more
    };
    const Case cases[] = {
        {"is-trusted 10.0.0.1", {0, 1}, 0, "trusted=1\nhr=0x00000000\n", VGCMD_ISTRUSTED, {}, {{84, "10.0.0.1"}}},
        {"allow 10.0.0.2 --service WM --account bob", {0, 0, 7}, 0, "verdict=refuse (0)\ninfo1=7\n",
         VGCMD_ALLOWCONNECTION, {{172, 4}}, {{176, "bob"}}},
        {"auth-fail bob 10.0.0.2 --service=0x0D --text PLAIN --note n", {0}, 0, "hr=0x00000000",
         VGCMD_PROCESSAUTHFAILURE, {{492, 13}}, {{496, "PLAIN"}, {847, "n"}}},
        {"geo-data --id 1 0x20 3 --param 9", {0, 0, 232, 0x44434241}, 0, "0000  e8 00 00 00 41 42 43 44",
         VGCMD_GETGEODATA, {{84, 1}, {88, 0x20}, {92, 3}, {152, 9}}, {}},
        {"auth-ok bob 10.0.0.3 --service smtp", {0x80004005u}, 1, "hr=0x80004005", VGCMD_PROCESSAUTHSUCCESS, {}, {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.args);
        Answer(c.reply);
        const size_t cBefore = m_service->RequestCount();
        const Result r = RunVgctl(c.args);
        EXPECT_EQ(r.status, c.status) << r.out;
        EXPECT_TRUE(Contains(r.out, c.out)) << r.out;
        ASSERT_EQ(m_service->RequestCount(), cBefore + 1);
        const Bytes req = m_service->Requests().back();
        EXPECT_EQ(U32At(req, 4), c.command);
        for (const auto& w : c.words) EXPECT_EQ(U32At(req, w.first), w.second) << "at " << w.first;
        for (const auto& t : c.texts) EXPECT_EQ(TextAt(req, t.first, 32), t.second) << "at " << t.first;
    }

    m_service.reset();
    const Result r = RunVgctl("is-black 10.0.0.3");
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
