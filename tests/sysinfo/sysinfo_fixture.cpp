#include "sysinfo/sysinfo_fixture.h"

#include <krmodule/krmodule.h>

#include "core/fault_injection.h"
#include "core/host.h"
#include "core/log.h"
#include "intake/intake.h"
#include "intake/request_table.h"
#include "intake/shared_filter.h"
#include "support/epg_builder.h"
#include "support/section_builder.h"
#include "sysinfo/epg_download.h"
#include "sysinfo/sysinfo.h"
#include "sysinfo/sysinfo_parse.h"

namespace krtest {

std::vector<uint8_t> SysinfoSection(const std::vector<uint8_t>& payload) {
    Datagram d;
    d.destinationAddress = kr::kSysinfoAddress;
    d.destinationPort = kr::kSysinfoPort;
    d.payload = payload;
    return BuildDatagramSection(d);
}

std::vector<uint8_t> SysinfoSection(const SysinfoAnnouncement& announcement) {
    return SysinfoSection(BuildSysinfoPayload(announcement));
}

std::vector<uint8_t> BlockSection(const SysinfoAnnouncement& to,
                                  const std::vector<uint8_t>& payload) {
    Datagram d;
    d.destinationAddress = to.epgAddress;
    d.destinationPort = to.epgPort;
    d.payload = payload;
    return BuildDatagramSection(d);
}

std::vector<uint8_t> SampleContainer() {
    std::vector<EpgFile> files = {{"LiveEPG.txt", ReadSample("epg/LiveEPG.txt")},
                                  {"ico\\ico.ini", ReadSample("epg/ico/ico.ini")}};
    for (const char* icon : {"1001", "1002", "1004"}) {
        files.push_back({std::string("ico\\") + icon + ".bmp",
                         ReadSample(std::string("epg/ico/") + icon + ".bmp")});
    }
    return BuildEpgContainer(files);
}

void SysinfoUnitTest::SetUp() {
    kr::fault::Reset();
    kr::ResetLogSettings();
    allocationsAtStart = kr::fault::LiveAllocations();
    kr::SetHostCallbacks(FakeHost::AllSlots());
    kr_T2K_RegisterEpgUpdateNotify(FakeHost::AllSlots().EpgUpdateNotify);
    kr_T2K_SetDebugFlag(0, 1);
    ASSERT_EQ(kr::IntakeInit(16), 0);
    ASSERT_EQ(kr::SysinfoInit(), 0);
    ASSERT_NE(Buffer(), nullptr);
}

void SysinfoUnitTest::TearDown() {
    kr::SysinfoFinish();
    EXPECT_EQ(kr::RequestsInUse(), 0) << "a request entry was left in use";
    EXPECT_EQ(kr::SharedFiltersActive(), 0) << "a shared filter was left active";
    kr::IntakeFinish();
    EXPECT_EQ(kr::fault::LiveAllocations(), allocationsAtStart) << "memory left allocated";
    kr::ClearHostCallbacks();
    kr::ResetLogSettings();
}

void SysinfoUnitTest::Announce(const SysinfoAnnouncement& announcement) {
    const std::vector<uint8_t> payload = BuildSysinfoPayload(announcement);
    kr::ParseSysinfo(payload, Buffer());
}

void SysinfoUnitTest::SendBlock(const std::vector<uint8_t>& payload) {
    kr::ParseEpgBlock(payload, Buffer());
}

size_t FiltersFor(const FakeHost& host, uint16_t pid) {
    size_t n = 0;
    for (const HostCall& call : host.Calls(Slot::SetSectionFilter)) {
        if (call.filter.pid == pid) ++n;
    }
    return n;
}

}  // namespace krtest
