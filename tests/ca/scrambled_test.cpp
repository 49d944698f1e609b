// Scrambled programs end to end: the service map and the ECMs arrive through the host's section
// delivery, the virtual card decrypts the control words, and the descrambler slot gets them.
#include <gtest/gtest.h>
#include <krmodule/krmodule.h>
#include <krmodule/krmodule_ext.h>

#include <chrono>
#include <condition_variable>
#include <cstring>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "ca/service_control.h"
#include "ca/service_map.h"
#include "card/card_profile.h"
#include "card/card_slot.h"
#include "card/virtual_card.h"
#include "common/ecm_section.h"
#include "common/emm_section.h"
#include "common/section_builder.h"
#include "common/service_map_section.h"
#include "intake/request_table.h"
#include "playback/playback_fixture.h"
#include "support/stream_builder.h"
#include "store/store.h"

namespace scrambled_test {
namespace {

using krtest::HostCall;
using krtest::kScrambled;
using krtest::Slot;
using Bytes = std::vector<uint8_t>;

constexpr char kProfile[] =
    "card-id = 4B52000000001001\n"
    "operator-key = 00112233445566778899AABBCCDDEEFF\n"
    "entitlements = 12 2026-01-01..2027-12-31, 30\n"
    "rating = 8\n"
    "viewing-period = 22:00-06:00\n";

constexpr krtools::AesKey kKey = {0x00, 0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77,
                                  0x88, 0x99, 0xAA, 0xBB, 0xCC, 0xDD, 0xEE, 0xFF};
constexpr uint16_t kEmmPid = 0x1FF1;
constexpr uint16_t kEcmPid = 0x0501;
constexpr uint32_t kInPeriod = 1796000000;  // 2026-11

// The card slot, able to hold the card's answer to the next control-word request until the test
// lets it go, and to spoil the answers to GET RESPONSE.
struct SlotControl {
    std::mutex mutex;
    std::condition_variable changed;
    bool holdNextRequest = false;
    bool holding = false;
    bool spoilFetch = false;
};
SlotControl slot;

int32_t ControlledApdu(uint32_t* length, const uint8_t* command, uint8_t* response) {
    const uint32_t sent = *length;
    const int32_t result = krtools::CardSlotApdu(length, command, response);
    if (result != 0 || sent < 3) return result;
    std::unique_lock<std::mutex> lock(slot.mutex);
    if (command[0] == 0x00 && command[1] == 0xC0 && slot.spoilFetch) {
        response[0] = 0x6F;
        response[1] = 0x00;
        *length = 2;
    }
    if (command[0] == 0xC0 && command[1] == 0xE4 && command[2] == 0x12 && slot.holdNextRequest) {
        slot.holdNextRequest = false;
        slot.holding = true;
        slot.changed.notify_all();
        slot.changed.wait_for(lock, std::chrono::seconds(10), [] { return !slot.holding; });
    }
    return result;
}

krtools::ServiceMapEntry ScrambledEntry(uint8_t rating = 0) {
    krtools::ServiceMapEntry e;
    e.onid = 1;
    e.tsid = 2;
    e.svid = 12;
    e.flagAndRating = rating;
    e.ecmPid = kEcmPid;
    e.name = "Scrambled";
    e.addresses = {{kScrambled.address, kScrambled.port}};
    return e;
}

krtools::AesBlock Word(uint8_t fill) {
    krtools::AesBlock w;
    w.fill(fill);
    return w;
}

krtools::EcmFields Ecm(uint8_t version, uint16_t timeOfDay = 0x2330) {
    krtools::EcmFields f;
    f.onid = 1;
    f.tsid = 2;
    f.svid = 12;
    f.version = version;
    f.entitlementId = 12;
    f.broadcastTime = kInPeriod;
    f.timeOfDay = timeOfDay;
    f.blocks = {{0, version, Word(version)},
                {1, version, Word(static_cast<uint8_t>(0x80 | version))}};
    return f;
}

class ScrambledTest : public krtest::PlaybackTest {
  protected:
    void AdjustSlots(HostCallbacks& slots) override {
        krtools::InsertIntoSlot(&card);
        slots.SmartcardReset = krtools::CardSlotReset;
        slots.SmartcardApdu = ControlledApdu;
        {
            std::lock_guard<std::mutex> lock(slot.mutex);
            slot.holdNextRequest = slot.holding = slot.spoilFetch = false;
        }
        if (host.StoreContents().empty()) host.SetStoreSize(kr::kStoreSize);
    }
    void SetUp() override {
        PlaybackTest::SetUp();
        kr_T2K_SetDebugFlag(0x75, 1);
        ASSERT_EQ(krca_T2CA_SetEmmPids(1, &kEmmPid), 0);
    }
    void TearDown() override {
        PlaybackTest::TearDown();
        krtools::InsertIntoSlot(nullptr);
    }

    // The id of the latest filter the host was asked for on a PID for a table (0: none).
    uint32_t FilterOn(uint16_t pid, uint8_t table = 0x81) const {
        uint32_t id = 0;
        for (const HostCall& call : host.Calls(Slot::SetSectionFilter))
            if (call.filter.pid == pid && call.filter.match[0] == table) id = call.words[0];
        return id;
    }
    int32_t Deliver(uint16_t pid, const Bytes& section) {
        return kr_T2K_SendRetrieved(static_cast<int32_t>(FilterOn(pid, section[0])), 0,
                                    section.data(), static_cast<int32_t>(section.size()));
    }
    void SendMap(uint8_t version, const std::vector<krtools::ServiceMapEntry>& entries) {
        ASSERT_EQ(Deliver(kEmmPid, krtools::BuildServiceMapSection(version, entries)), 0);
        Drain();
    }
    void SendEcm(const krtools::EcmFields& fields) {
        ASSERT_EQ(Deliver(kEcmPid, krtools::BuildEcmSection(fields, kKey)), 0);
        Drain();
    }
    // Starts the scrambled program once the map names it, and waits for its ECM filter.
    void StartWithMap(uint8_t rating = 0) {
        SendMap(1, {ScrambledEntry(rating)});
        ASSERT_EQ(StartProgram(kScrambled), KR_OK);
        ASSERT_NE(FilterOn(kEcmPid), 0u);
    }

    std::vector<DescramblerRecord> Records() const {
        std::vector<DescramblerRecord> out;
        for (const HostCall& call : host.Calls(Slot::SetDescrambler)) {
            DescramblerRecord r;
            std::memcpy(&r, call.bytes.data(), sizeof r);
            out.push_back(r);
        }
        return out;
    }
    static bool Cleared(const DescramblerRecord& r) {
        const DescramblerRecord zero{};
        return std::memcmp(r.controlWordA, zero.controlWordA, 16) == 0 &&
               std::memcmp(r.controlWordB, zero.controlWordB, 16) == 0;
    }
    std::vector<uint32_t> Shown() const {
        std::vector<uint32_t> out;
        for (const HostCall& call : host.Calls(Slot::ShowMessage))
            out.push_back(call.words[0]);
        return out;
    }
    size_t CardCommands() const { return card.CommandLog().size(); }
    // Anything left of the scrambled program's service: its entry or its ECM filter.
    bool ServiceLeft() const {
        kr::RequestEntry* entry = nullptr;
        const uint32_t filter = FilterOn(kEcmPid);
        return ServiceStarted(kScrambled.address, kScrambled.port) ||
               (filter != 0 && kr::FindRequest(filter, &entry) == 0);
    }

    krtools::VirtualCard card{krtools::ParseCardProfile(kProfile)};
    krtools::VirtualCard older{
        krtools::ParseCardProfile(std::string(kProfile) + "cw-request = older-only\n")};
};

TEST_F(ScrambledTest, ControlWordsReachTheDescramblerOncePerEcmVersion) {
    ASSERT_EQ(StartProgram(kScrambled), KR_OK);
    EXPECT_EQ(FilterOn(kEcmPid), 0u) << "the map does not name the service yet";
    SendMap(1, {ScrambledEntry()});
    ASSERT_TRUE(host.WaitFor([&] { return FilterOn(kEcmPid) != 0; }));
    EXPECT_TRUE(host.HasDebugText("Start set ecm filter."));

    SendEcm(Ecm(1));
    ASSERT_TRUE(host.WaitForCalls(Slot::SetDescrambler, 1));
    DescramblerRecord r = Records()[0];
    EXPECT_EQ(r.request.type, 1u);
    EXPECT_EQ(r.request.pid, kScrambled.pid);
    EXPECT_EQ(r.request.ipAddress, kScrambled.address);
    EXPECT_EQ(r.request.udpPort, kScrambled.port);
    EXPECT_EQ(Bytes(r.controlWordA, r.controlWordA + 16), Bytes(16, 0x81)) << "odd";
    EXPECT_EQ(Bytes(r.controlWordB, r.controlWordB + 16), Bytes(16, 0x01)) << "even";

    const size_t commands = CardCommands();
    SendEcm(Ecm(1));
    EXPECT_EQ(CardCommands(), commands) << "a repeated version costs no card exchange";
    SendEcm(Ecm(2));
    ASSERT_TRUE(host.WaitForCalls(Slot::SetDescrambler, 2));
    r = Records()[1];
    EXPECT_EQ(Bytes(r.controlWordB, r.controlWordB + 16), Bytes(16, 0x02));

    ServiceEntitleInfo info[2] = {};
    uint8_t count = 2;
    ASSERT_EQ(krca_T2CA_GetServiceEntitles(info, &count), 0);
    ASSERT_EQ(count, 1);
    EXPECT_EQ(info[0].svid, 12);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(info[0].name)), "Scrambled");
    EXPECT_EQ(info[0].entitleStart, 1767225600u);  // 2026-01-01
    EXPECT_EQ(info[0].entitleEnd, 1830297599u);    // 2027-12-31 23:59:59

    // Stopped: its filter ends, and no control words follow.
    ASSERT_EQ(kr_T2K_StopProgram(kScrambled.id), KR_OK);
    kr::RequestEntry* entry = nullptr;
    EXPECT_NE(kr::FindRequest(FilterOn(kEcmPid), &entry), 0);
}

// Once the module caught up, the ECM filter the map brought (on the ECM worker's next pass) is
// running and an ECM's words are at the descrambler: a terminal reading a recording needs no
// other wait before it reads the packets they open.
TEST_F(ScrambledTest, CaughtUpMeansTheEcmFilterAndTheWordsAreSet) {
    ASSERT_EQ(StartProgram(kScrambled), KR_OK);
    ASSERT_EQ(Deliver(kEmmPid, krtools::BuildServiceMapSection(1, {ScrambledEntry()})), 0);
    ASSERT_EQ(krx_WaitCaughtUp(10000), 0);
    ASSERT_NE(FilterOn(kEcmPid), 0u);
    for (uint8_t version = 1; version <= 3; ++version) {
        ASSERT_EQ(Deliver(kEcmPid, krtools::BuildEcmSection(Ecm(version), kKey)), 0);
        ASSERT_EQ(krx_WaitCaughtUp(10000), 0);
        ASSERT_EQ(host.CallCount(Slot::SetDescrambler), version);
        const DescramblerRecord r = Records().back();
        EXPECT_EQ(r.controlWordB[0], version);
    }
}

TEST_F(ScrambledTest, ParentalChecksClearOnceAndServiceResumesByItself) {
    StartWithMap();
    SendEcm(Ecm(1, 0x0130));  // inside 22:00-06:00, after midnight
    ASSERT_TRUE(host.WaitForCalls(Slot::SetDescrambler, 1));

    SendEcm(Ecm(2, 0x1200));
    SendEcm(Ecm(2, 0x1205));
    EXPECT_TRUE(host.HasDebugText("Out of work time."));
    ASSERT_EQ(host.CallCount(Slot::SetDescrambler), 2u) << "cleared once";
    EXPECT_TRUE(Cleared(Records()[1]));
    EXPECT_EQ(Shown(), std::vector<uint32_t>{1});

    SendEcm(Ecm(2, 0x2330));  // the same version, now in the period
    ASSERT_TRUE(host.WaitForCalls(Slot::SetDescrambler, 3));
    EXPECT_FALSE(Cleared(Records()[2]));
    EXPECT_EQ(host.CallCount(Slot::HideMessage), 1u);

    // The map now rates the service 9, above the card's 8; rated 0 again it resumes.
    SendMap(2, {ScrambledEntry(9)});
    SendEcm(Ecm(3));
    EXPECT_TRUE(host.HasDebugText("Out of the rating."));
    EXPECT_EQ(Shown(), (std::vector<uint32_t>{1, 0}));
    ASSERT_EQ(host.CallCount(Slot::SetDescrambler), 4u);
    EXPECT_TRUE(Cleared(Records()[3]));
    SendMap(3, {ScrambledEntry(0)});
    SendEcm(Ecm(3));
    ASSERT_TRUE(host.WaitForCalls(Slot::SetDescrambler, 5));
    EXPECT_FALSE(Cleared(Records()[4]));
}

TEST_F(ScrambledTest, CardRefusalsShowMessage8AndClearOnce) {
    StartWithMap();
    struct Case {
        const char* name;
        void (*change)(krtools::EcmFields&);
        const char* line;
    };
    const Case refusals[] = {
        {"not entitled", [](krtools::EcmFields& f) { f.entitlementId = 99; },
         "Get CW ERROR : 64 01"},
        {"period ended", [](krtools::EcmFields& f) { f.broadcastTime = 1900000000; },
         "Get CW ERROR : 64 02"},
        {"unknown key", [](krtools::EcmFields& f) { f.keyNumber = 1; }, "Get CW ERROR : 6A 88"},
    };
    uint8_t version = 1;
    for (const Case& c : refusals) {
        SCOPED_TRACE(c.name);
        SendEcm(Ecm(version++));  // words set
        const size_t before = host.CallCount(Slot::SetDescrambler);
        for (int i = 0; i < 2; ++i) {
            krtools::EcmFields f = Ecm(version);
            c.change(f);
            SendEcm(f);
        }
        ++version;
        EXPECT_TRUE(host.HasDebugText(c.line));
        ASSERT_EQ(host.CallCount(Slot::SetDescrambler), before + 1) << "cleared once";
        EXPECT_TRUE(Cleared(Records().back()));
        EXPECT_EQ(Shown().back(), 8u);
    }
    EXPECT_EQ(Shown().size(), 3u) << "each shown after the words of the next ECM took it down";

    // Accepted, but the words could not be fetched: the refusal is over, and no PIN is involved.
    {
        std::lock_guard<std::mutex> lock(slot.mutex);
        slot.spoilFetch = true;
    }
    const size_t hides = host.CallCount(Slot::HideMessage);
    SendEcm(Ecm(version++));
    EXPECT_EQ(host.CallCount(Slot::HideMessage), hides + 1);
    EXPECT_FALSE(host.HasDebugText("Verify pin error"));
    EXPECT_EQ(Shown().size(), 3u);

    // An ECM that announces more blocks than it holds never reaches the card.
    const size_t commands = CardCommands();
    Bytes cut = krtools::BuildEcmSection(Ecm(version), kKey);
    cut[55] = 3;
    const uint32_t crc = krtools::SectionCrc(cut.data() + 3, cut.size() - 7);
    for (size_t i = 0; i < 4; ++i)
        cut[cut.size() - 4 + i] = static_cast<uint8_t>(crc >> (24 - 8 * i));
    ASSERT_EQ(Deliver(kEcmPid, cut), 0);
    Drain();
    EXPECT_TRUE(host.HasDebugText("ECM data length error."));
    EXPECT_EQ(CardCommands(), commands);
}

TEST_F(ScrambledTest, AnOlderCardIsAskedInTheOlderForm) {
    krtools::InsertIntoSlot(&older);
    ASSERT_EQ(krca_T2CA_CardRemoved(), 0);
    ASSERT_EQ(krca_T2CA_CardInserted(), 0);
    older.ClearCommandLog();
    StartWithMap();
    SendEcm(Ecm(1));
    ASSERT_TRUE(host.WaitForCalls(Slot::SetDescrambler, 1));
    const DescramblerRecord r = Records()[0];
    EXPECT_EQ(Bytes(r.controlWordB, r.controlWordB + 16), Bytes(16, 0x01));
    std::vector<uint8_t> forms;
    for (const Bytes& command : older.CommandLog())
        if (command[0] == 0xC0 && command[1] == 0xE4) forms.push_back(command[2]);
    EXPECT_EQ(forms, (std::vector<uint8_t>{0x12, 0x01}));

    krtools::EcmFields wide = Ecm(2);
    wide.type = 1;
    SendEcm(wide);
    EXPECT_TRUE(host.HasDebugText("The ECM type 1 not support."));
    EXPECT_EQ(Shown(), std::vector<uint32_t>{8});
}

TEST_F(ScrambledTest, NoCardShowsMessage4AndAnEcmWaitsForOne) {
    StartWithMap();
    SendEcm(Ecm(1));
    ASSERT_TRUE(host.WaitForCalls(Slot::SetDescrambler, 1));
    card.Pull();
    ASSERT_EQ(krca_T2CA_CardRemoved(), 0);
    ASSERT_TRUE(host.WaitFor([&] { return Shown() == std::vector<uint32_t>{4}; }));
    ASSERT_TRUE(host.WaitForCalls(Slot::SetDescrambler, 2));
    EXPECT_TRUE(Cleared(Records()[1]));
    SendEcm(Ecm(2));
    EXPECT_TRUE(host.HasDebugText("No smart card insert."));

    card.Insert();
    ASSERT_EQ(krca_T2CA_CardInserted(), 0);
    SendEcm(Ecm(2));
    ASSERT_TRUE(host.WaitForCalls(Slot::SetDescrambler, 3));
    EXPECT_FALSE(Cleared(Records()[2]));
    EXPECT_EQ(host.CallCount(Slot::SetDescrambler), 3u) << "the pass clears nothing more";
}

TEST_F(ScrambledTest, AServiceStopsWithItsLastUser) {
    StartWithMap();
    const ServiceRequest same{1, kScrambled.pid, 0, kScrambled.address, kScrambled.port, 0};
    ASSERT_EQ(krca_T2CA_StartServices(1, &same), 0);
    EXPECT_TRUE(
        host.HasDebugText("Already start this service: pid:401, ip: EF010102, port: 5000."));

    const size_t stops = host.CallCount(Slot::StopSectionFilter);
    ASSERT_EQ(kr_T2K_StopProgram(kScrambled.id), KR_OK);
    SendEcm(Ecm(1));
    ASSERT_TRUE(host.WaitForCalls(Slot::SetDescrambler, 1)) << "the host's use goes on";
    ASSERT_EQ(krca_T2CA_StopServices(1, &same), 0);
    EXPECT_GT(host.CallCount(Slot::StopSectionFilter), stops);
    ASSERT_EQ(krca_T2CA_StopServices(1, &same), 0);
    EXPECT_TRUE(
        host.HasDebugText("Can't find service to stop: pid:401, ip: EF010102, port: 5000."));

    // Eight entries, and no ninth.
    std::vector<ServiceRequest> nine;
    for (uint16_t i = 0; i < 9; ++i)
        nine.push_back({0, static_cast<uint16_t>(0x600 + i), 0, 0, 0, 0});
    EXPECT_EQ(krca_T2CA_StartServices(9, nine.data()), -4);
    EXPECT_TRUE(host.HasDebugText("Can't allot to start this service."));
    EXPECT_EQ(krca_T2CA_StopServices(9, nullptr), KR_NULL_ARG);
    EXPECT_EQ(krca_T2CA_StopServices(9, nine.data()), 0);
}

TEST_F(ScrambledTest, TheHostHoldsAServiceOnceAndAProgramReleasesOnlyItsOwnHold) {
    SendMap(1, {ScrambledEntry()});
    const ServiceRequest same{1, kScrambled.pid, 0, kScrambled.address, kScrambled.port, 0};
    ASSERT_EQ(krca_T2CA_StartServices(1, &same), 0);
    ASSERT_EQ(krca_T2CA_StartServices(1, &same), 0);
    ASSERT_EQ(krca_T2CA_StopServices(1, &same), 0);
    EXPECT_FALSE(ServiceLeft()) << "the host's one stop ends its one hold";

    // Stops of a program that holds nothing: never started, then stopped twice.
    ASSERT_EQ(krca_T2CA_StartServices(1, &same), 0);
    ASSERT_EQ(kr_T2K_StopProgram(kScrambled.id), KR_OK);
    ASSERT_EQ(StartProgram(kScrambled), KR_OK);
    ASSERT_EQ(kr_T2K_StopProgram(kScrambled.id), KR_OK);
    ASSERT_EQ(kr_T2K_StopProgram(kScrambled.id), KR_OK);
    SendEcm(Ecm(1));
    ASSERT_TRUE(host.WaitForCalls(Slot::SetDescrambler, 1)) << "the host's words go on";
    ASSERT_EQ(krca_T2CA_StopServices(1, &same), 0);
    EXPECT_FALSE(ServiceLeft());

    // A start whose filters were all refused holds nothing: a retry and one stop leave nothing.
    host.SetFilterResult(-1);
    ASSERT_EQ(StartProgram(kScrambled), KR_OK);
    EXPECT_FALSE(ServiceLeft());
    host.SetFilterResult(0);
    ASSERT_EQ(StartProgram(kScrambled), KR_OK);
    ASSERT_EQ(kr_T2K_StopProgram(kScrambled.id), KR_OK);
    EXPECT_FALSE(ServiceLeft());
}

TEST_F(ScrambledTest, NothingAboutAServiceStoppedDuringItsCardRequestReachesTheHost) {
    SendMap(1, {ScrambledEntry()});
    const ServiceRequest service{1, kScrambled.pid, 0, kScrambled.address, kScrambled.port, 0};
    ASSERT_EQ(krca_T2CA_StartServices(1, &service), 0);
    {
        std::lock_guard<std::mutex> lock(slot.mutex);
        slot.holdNextRequest = true;
    }
    krtools::EcmFields refused = Ecm(1);
    refused.entitlementId = 99;
    ASSERT_EQ(Deliver(kEcmPid, krtools::BuildEcmSection(refused, kKey)), 0);
    {
        std::unique_lock<std::mutex> lock(slot.mutex);
        ASSERT_TRUE(
            slot.changed.wait_for(lock, std::chrono::seconds(10), [] { return slot.holding; }));
    }
    ASSERT_EQ(krca_T2CA_StopServices(1, &service), 0);
    {
        std::lock_guard<std::mutex> lock(slot.mutex);
        slot.holding = false;
        slot.changed.notify_all();
    }
    Drain();
    EXPECT_TRUE(host.HasDebugText("Get CW ERROR : 64 01"));
    EXPECT_TRUE(Shown().empty());
    EXPECT_EQ(host.CallCount(Slot::SetDescrambler), 0u);
}

TEST_F(ScrambledTest, AServiceAsksAgainForTheFilterOfItsEcmPidWhenNoneRuns) {
    SendMap(1, {ScrambledEntry()});
    const ServiceRequest byPid{0, kEcmPid, 0, 0, 0, 0};
    const ServiceRequest byAddress{1, kScrambled.pid, 0, kScrambled.address, kScrambled.port, 0};
    host.SetFilterResult(-1);
    ASSERT_EQ(krca_T2CA_StartServices(1, &byPid), 0);
    host.SetFilterResult(0);
    ASSERT_EQ(krca_T2CA_StartServices(1, &byAddress), 0);
    SendEcm(Ecm(1));
    ASSERT_TRUE(host.WaitForCalls(Slot::SetDescrambler, 1));

    // The filter stays for the service of the refused request, and ends with it.
    ASSERT_EQ(krca_T2CA_StopServices(1, &byAddress), 0);
    SendEcm(Ecm(2));
    ASSERT_TRUE(host.WaitForCalls(Slot::SetDescrambler, 2));
    EXPECT_EQ(Records()[1].request.type, 0u);
    ASSERT_EQ(krca_T2CA_StopServices(1, &byPid), 0);
    kr::RequestEntry* entry = nullptr;
    EXPECT_NE(kr::FindRequest(FilterOn(kEcmPid), &entry), 0);
}

TEST_F(ScrambledTest, TheServiceMapIsKeptInTheStoreAndUpdatedInPlace) {
    krtools::ServiceMapEntry four = ScrambledEntry();
    four.svid = 30;
    four.ecmPid = 0x0530;
    four.name = std::string(40, 'n');
    four.list = {1, 2, 3, 4, 5, 6};
    four.addresses = {{1, 1}, {2, 2}, {3, 3}, {4, 4}};
    krtools::ServiceMapEntry zeroLength = ScrambledEntry();
    zeroLength.svid = 31;
    zeroLength.otherDescriptors = {0x40, 0x00, 0xA1, 0x06, 0, 0, 0, 9, 0, 9};
    SendMap(1, {ScrambledEntry(), four, zeroLength});
    EXPECT_TRUE(host.HasDebugText("Invalid descriptor len."));
    kr::ServiceRecord r{};
    ASSERT_EQ(kr::kr_FindServiceByAddr(&r, 3, 3), 0);
    EXPECT_EQ(r.svid, 30);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(r.name), 32), std::string(32, 'n'));
    EXPECT_EQ(r.list[4], 5);
    EXPECT_EQ(kr::kr_FindServiceByAddr(&r, 4, 4), kr::kNotFound) << "three pairs are kept";
    EXPECT_EQ(kr::kr_FindServiceByAddr(&r, 9, 9), kr::kNotFound) << "after the zero length";
    ASSERT_EQ(kr::kr_FindServiceByIds(&r, 1, 2, 31), 0) << "the next entry was found in place";

    // Service 12 leaves: its record is deleted, the others keep their places.
    SendMap(2, {four, zeroLength});
    EXPECT_EQ(kr::ServiceMapRecords()[0].status, kr::kServiceDeleted);
    EXPECT_EQ(kr::ServiceMapRecords()[1].svid, 30);

    // A restart loads the two stored records; the same section is not parsed again.
    const Bytes map = krtools::BuildServiceMapSection(2, {four, zeroLength});
    FinishModule();
    ASSERT_EQ(StartModule(256), KR_OK);
    EXPECT_TRUE(host.HasDebugText("Get smt from buffer, count: 2"));
    kr_T2K_SetDebugFlag(0x75, 1);
    ASSERT_EQ(krca_T2CA_SetEmmPids(1, &kEmmPid), 0);
    ASSERT_EQ(Deliver(kEmmPid, map), 0);
    Drain();
    EXPECT_TRUE(host.HasDebugText("Already received this smt."));
    ASSERT_EQ(kr::kr_FindServiceByIds(&r, 1, 2, 30), 0);
    EXPECT_EQ(kr::kr_FindServiceByEcmPid(&r, 0x0530), 0);

    // A cut entry ends the section: the entries before it apply, nothing is removed.
    krtools::ServiceMapEntry fresh = ScrambledEntry();
    fresh.svid = 40;
    Bytes cut = krtools::BuildServiceMapSection(3, {fresh, four});
    cut[4] = 3;
    ASSERT_EQ(kr::kr_SmtParse(cut.data(), static_cast<uint32_t>(cut.size())), 0);
    EXPECT_TRUE(host.HasDebugText("Invalid service entry len."));
    EXPECT_EQ(kr::kr_FindServiceByIds(&r, 1, 2, 40), 0);
    EXPECT_EQ(kr::kr_FindServiceByIds(&r, 1, 2, 31), 0) << "not removed by a cut section";
    const Bytes tooShort(17, 0x84);
    EXPECT_EQ(kr::kr_SmtParse(tooShort.data(), 17), -3);
}


// Every kind of damage is counted under its own cause, and nothing else moves for it.
TEST_F(ScrambledTest, EachDropIsCountedByItsCause) {
    StartWithMap();
    ASSERT_EQ(StartProgram(krtest::kClear), KR_OK);
    const krtest::TestProgram& p = krtest::kClear;
    const krtools::CardId cardId = {0x4B, 0x52, 0, 0, 0, 0, 0x10, 0x01};
    auto rtp = [](uint16_t seq, uint32_t timestamp, bool marker, Bytes media) {
        krtest::RtpPacketFields f;
        f.seq = seq;
        f.timestamp = timestamp;
        f.marker = marker;
        f.media = std::move(media);
        return krtest::BuildRtpPayload(f);
    };
    auto datagram = [&](uint16_t port, Bytes payload, krtools::IpChecksum ip,
                        krtools::UdpChecksum udp) {
        krtools::Datagram d;
        d.destinationAddress = p.address;
        d.destinationPort = port;
        d.payload = std::move(payload);
        d.ipChecksum = ip;
        d.udpChecksum = udp;
        const Bytes section = krtools::BuildDatagramSection(d);
        return kr_T2K_SendRetrieved(static_cast<int32_t>(HostFilter(p.pid)), 0, section.data(),
                                    static_cast<int32_t>(section.size()));
    };
    auto badCrc = [](Bytes section) {
        section.back() ^= 0x01;
        return section;
    };
    const auto right = krtools::IpChecksum::Right;
    const auto rightUdp = krtools::UdpChecksum::Right;
    const Bytes mail = krtools::BuildMessageEmm(cardId, {});
    uint32_t emmFilter = 0;
    for (const HostCall& call : host.Calls(Slot::SetSectionFilter))
        if (call.filter.match[0] == 0x83 && call.filter.mask[5] == 0xFF) emmFilter = call.words[0];
    ASSERT_NE(emmFilter, 0u);
    auto emm = [&](const Bytes& section) {
        return kr_T2K_SendRetrieved(static_cast<int32_t>(emmFilter), 0, section.data(),
                                    static_cast<int32_t>(section.size()));
    };
    const Bytes filler(40, 0x80);

    struct Case {
        const char* name;
        std::function<void()> send;
        uint64_t KrxCounters::*counter;
        uint64_t moves;
    };
    const std::vector<Case> cases = {
        {"a request nobody made",
         [&] { kr_T2K_SendRetrieved(999, 0, filler.data(), 40); },
         &KrxCounters::sectionsNoRequest, 1},
        {"a length no section has",
         [&] { kr_T2K_SendRetrieved(1, 0, filler.data(), 16); },
         &KrxCounters::sectionsBadLength, 1},
        {"a time-out", [&] { kr_T2K_SendRetrieved(1, 1, filler.data(), 40); },
         &KrxCounters::sectionsTimedOut, 1},
        {"a destination nobody listens to",
         [&] { datagram(4999, rtp(1, 1, true, Bytes(8)), right, rightUdp); },
         &KrxCounters::sectionsUnmatched, 1},
        {"an IP header checksum",
         [&] { datagram(p.videoPort, rtp(1, 1, true, Bytes(8)), krtools::IpChecksum::Wrong, rightUdp); },
         &KrxCounters::datagramsIpChecksum, 1},
        {"a UDP checksum",
         [&] { datagram(p.videoPort, rtp(1, 1, true, Bytes(8)), right, krtools::UdpChecksum::Wrong); },
         &KrxCounters::datagramsUdpChecksum, 1},
        {"not RTP version 2",
         [&] {
             Bytes packet = rtp(1, 1, true, Bytes(8));
             packet[0] = 0x40;
             datagram(p.videoPort, packet, right, rightUdp);
         },
         &KrxCounters::rtpRefused, 1},
        {"a lost packet inside a frame",
         [&] {
             datagram(p.videoPort, rtp(10, 100, false, krtest::FrameStart(0xB6, 100)), right, rightUdp);
             datagram(p.videoPort, rtp(12, 101, true, krtest::FrameStart(0xB6, 100)), right,
                      rightUdp);
         },
         &KrxCounters::framesLostPacket, 1},
        {"a video frame that begins no picture",
         [&] { datagram(p.videoPort, rtp(20, 200, true, Bytes(100, 7)), right, rightUdp); },
         &KrxCounters::framesNotWhole, 1},
        {"an audio frame larger than its buffer",
         [&] {
             datagram(p.audioPort, rtp(30, 300, false, Bytes(1400, 1)), right, rightUdp);
             datagram(p.audioPort, rtp(31, 300, true, Bytes(1400, 2)), right, rightUdp);
         },
         &KrxCounters::framesTooLarge, 1},
        {"a whole frame", [&] { datagram(p.videoPort, rtp(40, 400, true, krtest::FrameStart(0xB6, 100)), right, rightUdp); },
         &KrxCounters::framesDelivered, 1},
        {"a service map with a wrong CRC",
         [&] { Deliver(kEmmPid, badCrc(krtools::BuildServiceMapSection(2, {ScrambledEntry()}))); },
         &KrxCounters::caSectionsCrc, 1},
        {"the same service map again",
         [&] { Deliver(kEmmPid, krtools::BuildServiceMapSection(1, {ScrambledEntry()})); },
         &KrxCounters::serviceMapsRepeated, 1},
        {"an ECM with a wrong CRC",
         [&] { Deliver(kEcmPid, badCrc(krtools::BuildEcmSection(Ecm(1), kKey))); },
         &KrxCounters::ecmsCrc, 1},
        {"an ECM's words", [&] { Deliver(kEcmPid, krtools::BuildEcmSection(Ecm(1), kKey)); },
         &KrxCounters::controlWordsSet, 1},
        {"the same ECM again", [&] { Deliver(kEcmPid, krtools::BuildEcmSection(Ecm(1), kKey)); },
         &KrxCounters::ecmsRepeated, 1},
        {"an EMM with a wrong CRC", [&] { emm(badCrc(mail)); }, &KrxCounters::caSectionsCrc, 1},
        {"an EMM for another card",
         [&] { emm(krtools::BuildMessageEmm({0x4B, 0x52, 0, 0, 0, 0, 0x10, 0x02}, {})); },
         &KrxCounters::emmsOtherCard, 1},
        {"an EMM carried out", [&] { emm(mail); }, &KrxCounters::emmsRepeated, 0},
        {"the same EMM again", [&] { emm(mail); }, &KrxCounters::emmsRepeated, 1},
    };
    auto read = [] {
        KrxCounters c{};
        c.size = sizeof c;
        EXPECT_EQ(krx_GetCounters(&c), 0);
        return c;
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const KrxCounters before = read();
        c.send();
        ASSERT_EQ(krx_WaitCaughtUp(10000), 0);
        const KrxCounters after = read();
        EXPECT_EQ(after.*c.counter - before.*c.counter, c.moves);
        // Every other drop counter stays where it was (what was taken may move).
        const auto* b = reinterpret_cast<const uint64_t*>(&before.sectionsTaken);
        const auto* a = reinterpret_cast<const uint64_t*>(&after.sectionsTaken);
        const size_t self = static_cast<size_t>(&(after.*c.counter) - a);
        const size_t fields = (sizeof after - 8) / 8;
        for (size_t i = 0; i < fields; ++i) {
            const bool taken = &a[i] == &after.sectionsTaken || &a[i] == &after.framesDelivered ||
                               &a[i] == &after.controlWordsSet;
            if (i != self && !taken) {
                EXPECT_EQ(a[i], b[i]) << "field " << i;
            }
        }
    }
    // A start begins from nothing.
    FinishModule();
    ASSERT_EQ(StartModule(256), KR_OK);
    const KrxCounters fresh = read();
    EXPECT_EQ(fresh.caSectionsCrc, 0u);
    EXPECT_EQ(fresh.sectionsNoRequest, 0u);
}

}  // namespace
}  // namespace scrambled_test
