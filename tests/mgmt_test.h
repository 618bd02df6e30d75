// A test with its own pipe folder and registry, and a fake service on the
// management pipe.
#pragma once

#include <cstring>
#include <memory>
#include <vector>

#include "VGClient/vgwire.h"
#include "tests/fake_service.h"
#include "tests/test_env.h"

// The header of a request within a session: its size (field and length), its
// command and version, the session id at 84 and a zero abReserved.
inline void ExpectSessionHeader(const Bytes& req, uint32_t command, size_t cbSize, const VGSESSIONID& idSession) {
    ASSERT_EQ(req.size(), cbSize) << "command " << command;
    EXPECT_EQ(U32At(req, 0), cbSize) << "command " << command;
    EXPECT_EQ(U32At(req, 4), command);
    EXPECT_EQ(U32At(req, 16), VG_PROTOCOL_VERSION) << "command " << command;
    EXPECT_EQ(std::memcmp(&req[84], &idSession, 16), 0) << "command " << command << ": session id";
    EXPECT_TRUE(Bytes(&req[100], &req[116]) == Bytes(16)) << "command " << command << ": abReserved";
}

class VgMgmtTest : public VgTestEnv {
protected:
    void SetUp() override {
        VgTestEnv::SetUp();
        m_service.reset(new FakeService(VG_MANAGEMENT_PIPE));
    }
    void TearDown() override {
        m_service.reset();
        VgTestEnv::TearDown();
    }
    // Answers every request with hrStatus at offset 8 and body from offset 12,
    // zero-filled or cut to the command's reply size (or to cbReply bytes).
    void Answer(int32_t hrStatus, Bytes body = {}, size_t cbReply = 0) {
        m_service->SetHandler([=](const Bytes& req) {
            FakeAction a;
            a.reply.assign(12, 0);
            std::memcpy(&a.reply[8], &hrStatus, 4);
            a.reply.insert(a.reply.end(), body.begin(), body.end());
            a.reply.resize(cbReply ? cbReply : ReplySize(U32At(req, 4)));
            return a;
        });
    }
    // The last request the service received; empty when there was none.
    Bytes Last() const {
        const std::vector<Bytes> requests = m_service->Requests();
        return requests.empty() ? Bytes() : requests.back();
    }
    std::unique_ptr<FakeService> m_service;
};
