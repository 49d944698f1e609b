#include "playback/playback_fixture.h"

#include <krmodule/krmodule_ext.h>

#include "ca/service_control.h"
#include "core/platform.h"
#include "epg/epg_container.h"
#include "epg/epg_database.h"
#include "intake/intake.h"
#include "intake/request_table.h"
#include "playback/frame_states.h"
#include "support/epg_builder.h"
#include "support/section_builder.h"

namespace krtest {
namespace {

// Request ids are never reused, one per request made: the ids a test gets to lie in a window that
// begins a little before the first id allotted after its start-up.
constexpr uint32_t kRequestIdWindow = 4000;

std::string Dotted(uint32_t address) {
    return std::to_string(address >> 24) + "." + std::to_string((address >> 16) & 0xFF) + "." +
           std::to_string((address >> 8) & 0xFF) + "." + std::to_string(address & 0xFF);
}

std::string ProgramSection(int index, const TestProgram& p) {
    std::string s = "[PROGRAM" + std::to_string(index) + "]\nProgramID=" + std::to_string(p.id) +
                    "\nProgramName=P" + std::to_string(p.id) + "\nCA=" + std::to_string(p.ca) +
                    "\nFreq=626\nChannel=" + Dotted(p.address) + ":" + std::to_string(p.port) +
                    "\nPid=" + std::to_string(p.pid) + "\nProgramSort=" + std::to_string(p.sort) +
                    "\n";
    if (p.sort == 4) {
        s += "#STARTSDP\nv=0\nm=video " + std::to_string(p.videoPort) +
             " RTP/AVP 96\na=rtpmap:96 MP4V-ES/90000\nm=audio " + std::to_string(p.audioPort) +
             " RTP/AVP 97\na=rtpmap:97 MP4A-LATM/44100/2\n#ENDSDP\n";
    } else {
        s += "#STARTSDP\nPIDCOUNT=1\nPID1=481\nPIDTYPE1=27\n#ENDSDP\n";
    }
    return s;
}

}  // namespace

std::string LiveEpgText() {
    const TestProgram programs[] = {kClear,       kScrambled,  kCombined,
                                    kSecondClear, kThirdClear, kFourthClear};
    std::string text =
        "[LIVE_EPG]\nCOUNT=" + std::to_string(std::size(programs)) + "\nVERSION=20261206120000\n";
    int index = 1;
    for (const TestProgram& p : programs)
        text += ProgramSection(index++, p);
    return text;
}

void PlaybackTest::SetUp() {
    ModuleTest::SetUp();
    ASSERT_EQ(StartModule(256), KR_OK);
    const auto container = BuildEpgContainer({{"LiveEPG.txt", Bytes(LiveEpgText())}});
    kr::ModuleLockGuard hold;
    kr::RequestEntry* probe = nullptr;
    ASSERT_EQ(kr::AllotRequest(&probe), 0);
    firstRequestId =
        probe->requestId > kr::kRequestCount ? probe->requestId - kr::kRequestCount : 1;
    kr::SetRequestState(probe, kr::kRequestFree);
    kr::kr_ProcessEpgContainer(container.data(), static_cast<uint32_t>(container.size()));
    ASSERT_NE(kr::Epg().currentLive, nullptr);
    ASSERT_EQ(kr::Epg().currentLive->epg.programCount, 6);

    // The download EPG as its parser publishes it.
    kr::DownloadBuffer* download = nullptr;
    ASSERT_EQ(kr::kr_TakeDownloadBuffer(&download), 0);
    download->state = kr::kBufferValid;
    uint32_t n = 0;
    for (const TestResource& r : {kClearResource, kScrambledResource}) {
        ResourceInfo& info = download->epg.resource[n++];
        info.programId = r.id;
        info.ca = r.ca;
        info.pid = r.pid;
        info.address = r.address;
        info.port = r.port;
    }
    download->epg.resourceCount = n;
    kr::Epg().currentDownload = download;
    kr_T2K_SetDebugFlag(0, 1);
}

void PlaybackTest::TearDown() {
    if (started) {
        Drain();
        FinishModule();
        EXPECT_EQ(kr::BoundFrameStates(), 0) << "a frame state pair stayed bound";
    }
    ModuleTest::TearDown();
}

void PlaybackTest::Drain() {
    ASSERT_EQ(krx_WaitCaughtUp(10000), 0);
}

uint32_t PlaybackTest::HostFilter(uint16_t pid) const {
    // The shared filter's own request carries the PID.
    for (uint32_t id = firstRequestId; id < firstRequestId + kRequestIdWindow; ++id) {
        kr::RequestEntry* entry = nullptr;
        if (kr::FindRequest(id, &entry) != 0 || entry == nullptr) continue;
        if (entry->type == kr::kTypeSharedFilter && entry->pid == pid) return id;
    }
    return 0;
}

std::vector<uint8_t> PlaybackTest::SectionFor(uint32_t address, uint16_t port,
                                              const std::vector<uint8_t>& payload) const {
    Datagram d;
    d.destinationAddress = address;
    d.destinationPort = port;
    d.payload = payload;
    return BuildDatagramSection(d);
}

int32_t PlaybackTest::Send(uint16_t pid, uint32_t address, uint16_t port,
                           const std::vector<uint8_t>& payload, size_t cut) {
    const std::vector<uint8_t> section = SectionFor(address, port, payload);
    const size_t length = cut > 0 && cut < section.size() ? cut : section.size();
    return kr_T2K_SendRetrieved(static_cast<int32_t>(HostFilter(pid)), 0, section.data(),
                                static_cast<int32_t>(length));
}

std::vector<PlaybackTest::OwnedRequest> PlaybackTest::RequestsOf(uint32_t owner) const {
    std::vector<OwnedRequest> out;
    for (uint32_t id = firstRequestId; id < firstRequestId + kRequestIdWindow; ++id) {
        kr::RequestEntry* entry = nullptr;
        if (kr::FindRequest(id, &entry) != 0 || entry == nullptr) continue;
        if (entry->ownerId != owner || entry->type == kr::kTypeSharedFilter) continue;
        out.push_back(
            {entry->type, entry->udpPort, entry->ipAddress, entry->scrambled, entry->deliveryMode});
    }
    return out;
}

bool PlaybackTest::ServiceStarted(uint32_t address, uint16_t port) {
    kr::ModuleLockGuard hold;
    const kr::StartedService* s = kr::StartedServices();
    for (int i = 0; i < kr::kStartedServiceCount; ++i) {
        const bool started =
            s[i].state == kr::kStartedWaitingForMap || s[i].state == kr::kStartedFiltered;
        if (started && s[i].request.ipAddress == address && s[i].request.udpPort == port)
            return true;
    }
    return false;
}

}  // namespace krtest
