// Conditional access from the head end, checked the way a terminal sees it: the CA table names
// the CA PID, the virtual card turns the ECMs into words, and with them the scrambled services
// come out exactly as they do from the same scenario in the clear.
#include <gtest/gtest.h>

#include <map>
#include <set>
#include <vector>

#include "card/card_profile.h"
#include "card/virtual_card.h"
#include "common/cissa.h"
#include "common/ecm_section.h"
#include "common/emm_section.h"
#include "common/pcr.h"
#include "common/section_builder.h"
#include "terminal/ts_demux.h"
#include "common/ts_packetiser.h"
#include "headend/ca_broadcast.h"
#include "headend/head_end.h"
#include "headend/mux_options.h"

namespace head_end_ca_test {
namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<uint8_t>;

const fs::path kSamples = KRMODULE_SAMPLES_DIR;
constexpr uint16_t kEmmPid = 0x1E00;

krtools::MuxOptions SampleWithCa() {
    krtools::MuxOptions o = krtools::ReadScenario(kSamples / "scenario");
    o.durationMs = 3000;
    o.ca.card = kSamples / "card/card.txt";
    o.ca.emmPid = kEmmPid;
    o.ca.cryptoPeriodMs = 500;
    o.ca.scrambled = {1002, 2007};
    o.ca.mails = {{7, "Hello", "Welcome"}};
    o.ca.text = "Maintenance tonight";
    o.ca.commandRating = 12;
    return o;
}

// The card of the scenario, entitled to both scrambled services.
krtools::VirtualCard EntitledCard() {
    krtools::CardProfile profile = krtools::ReadCardProfile(kSamples / "card/card.txt");
    profile.entitlements.push_back({2007, 0, 0});
    return krtools::VirtualCard(profile);
}

Bytes Command(Bytes header, const Bytes& data) {
    header.push_back(static_cast<uint8_t>(data.size()));
    header.insert(header.end(), data.begin(), data.end());
    return header;
}

// Sections per PID, packet by packet, so words taken from an ECM reach the table before the
// next packet; onSection may set them.
std::map<uint16_t, std::vector<Bytes>> Sections(
    const Bytes& stream, const krtools::DescramblerTable* table,
    const std::function<void(uint16_t, const Bytes&)>& onSection = {},
    krtools::TsDemux::Stats* stats = nullptr) {
    std::map<uint16_t, std::vector<Bytes>> out;
    krtools::TsDemux demux([&](uint16_t pid, std::span<const uint8_t> s) {
        out[pid].emplace_back(s.begin(), s.end());
        if (onSection) onSection(pid, out[pid].back());
    });
    demux.UseDescrambler(table);
    for (std::size_t at = 0; at < stream.size(); at += krtools::kTsPacketSize) {
        // The clock's packets carry a PES packet, not sections.
        const auto packet = std::span(stream).subspan(at, krtools::kTsPacketSize);
        if (!krtools::ReadPcr(packet)) demux.Feed(packet);
    }
    demux.Finish();
    if (stats) *stats = demux.stats();
    return out;
}

TEST(HeadEndCa, TheCardsWordsDescrambleTheServicesToTheirClearSections) {
    krtools::MuxOptions options = SampleWithCa();
    const krtools::HeadEndContent content = krtools::LoadContent(options);
    ASSERT_TRUE(content.ca);
    const krtools::MuxResult scrambled = krtools::GenerateStream(content, options);
    EXPECT_GT(scrambled.scrambledPackets, 0u);
    EXPECT_EQ(krtools::BuildStream(options).stream, scrambled.stream);
    options.ca = {};
    const auto clear = Sections(krtools::BuildStream(options).stream, nullptr);

    krtools::VirtualCard card = EntitledCard();
    krtools::DescramblerTable table;
    std::map<uint16_t, uint16_t> servicePid;  // by ECM PID
    for (const krtools::ScrambledService& s : content.ca->services)
        servicePid[s.entry.ecmPid] = s.pid;
    std::set<krtools::AesKey> evenWords;
    auto onSection = [&](uint16_t pid, const Bytes& ecm) {
        if (!servicePid.count(pid)) return;
        Bytes data(ecm.begin() + krtools::kEcmCardPartOffset,
                   ecm.begin() + krtools::kEcmCardPartOffset + krtools::kEcmCardPartSize);
        data.insert(data.end(), ecm.begin() + krtools::kEcmBlockCountOffset, ecm.end() - 4);
        ASSERT_EQ(card.Exchange(Command({0xC0, 0xE4, 0x12, 0x00}, data)), (Bytes{0x61, 0x20}));
        const Bytes words = card.Exchange({0x00, 0xC0, 0x00, 0x00, 0x20});
        ASSERT_EQ(words.size(), 34u);
        krtools::AesKey even{}, odd{};
        std::copy_n(words.begin(), 16, even.begin());
        std::copy_n(words.begin() + 16, 16, odd.begin());
        evenWords.insert(even);
        ASSERT_TRUE(table.Set(servicePid[pid], even, odd));
    };
    krtools::TsDemux::Stats stats;
    auto received = Sections(scrambled.stream, &table, onSection, &stats);
    EXPECT_EQ(stats.undescrambled + stats.continuityErrors + stats.droppedSections, 0u);
    EXPECT_GE(evenWords.size(), 6u);  // two services, three even periods each
    received.erase(krtools::kCaTablePid);
    received.erase(kEmmPid);
    for (const auto& [ecmPid, pid] : servicePid)
        received.erase(ecmPid);
    EXPECT_EQ(received, clear);

    // Without the words the services' packets are lost.
    Sections(scrambled.stream, nullptr, {}, &stats);
    EXPECT_EQ(stats.undescrambled, scrambled.scrambledPackets);
}

TEST(HeadEndCa, TheCaTableNamesTheCaPidWhereTheMapAndTheCardsEmmsGo) {
    const krtools::MuxOptions options = SampleWithCa();
    const auto sections = Sections(krtools::BuildStream(options).stream, nullptr);
    const std::vector<Bytes>& cat = sections.at(krtools::kCaTablePid);
    EXPECT_EQ(cat.size(), 6u);  // every 500 ms of 3 s
    const Bytes& t = cat.front();
    EXPECT_EQ(t[0], krtools::kCaTableId);
    EXPECT_EQ(t[1] & 0x80, 0x80);
    EXPECT_EQ(krtools::SectionCrc(t.data(), t.size()), 0u);
    EXPECT_EQ(Bytes(t.begin() + 8, t.end() - 4), (Bytes{0x09, 4, 0x4B, 0x52, 0xFE, 0x00}));

    std::map<uint8_t, std::vector<Bytes>> byTable;
    for (const Bytes& s : sections.at(kEmmPid))
        byTable[s[0]].push_back(s);
    EXPECT_EQ(byTable[krtools::kServiceMapTableId].size(), 3u);  // once a second
    ASSERT_EQ(byTable[krtools::kCaPrivateTableId].size(), 9u);   // mail, command, broadcast
    const Bytes& command = byTable[krtools::kCaPrivateTableId][1];
    ASSERT_EQ(command[krtools::kEmmTypeOffset], krtools::kEmmTypeCardCommand);
    // The card takes the command as made for it: the rating is written.
    Bytes data{command[krtools::kEmmParameterOffset]};
    data.insert(data.end(), command.begin() + krtools::kEmmBodyOffset, command.end() - 4);
    krtools::VirtualCard card = EntitledCard();
    EXPECT_EQ(card.Exchange(Command({0xC0, 0xE4, 0x08, 0x00}, data))[0], 0x61);
}

TEST(HeadEndCa, NothingChangesUntilBothTheCardAndTheCaPidAreGiven) {
    krtools::MuxOptions options = krtools::ReadScenario(kSamples / "scenario");
    options.durationMs = 1000;
    ASSERT_TRUE(options.ca.Enabled()) << "the sample scenario scrambles";
    options.ca = krtools::CaOptions{};
    const Bytes plain = krtools::BuildStream(options).stream;
    options.ca = SampleWithCa().ca;
    options.ca.emmPid = 0;
    EXPECT_EQ(krtools::BuildStream(options).stream, plain);

    const krtools::MuxCommand command = krtools::ParseMuxArguments(
        {"--epg", "e", "--out", "-", "--ca-card", "c.txt", "--emm-pid", "0x1E00", "--scrambled",
         "1002, 2007", "--mail", "7, Hi there, one, two", "--redirect", "1,2,3", "--card-command",
         "rating=12", "--crypto-period-ms", "500"});
    EXPECT_TRUE(command.options.ca.Enabled());
    EXPECT_EQ(command.options.ca.scrambled, (std::vector<uint32_t>{1002, 2007}));
    ASSERT_EQ(command.options.ca.mails.size(), 1u);
    EXPECT_EQ(command.options.ca.mails[0].content, "one, two");
    EXPECT_EQ(command.options.ca.redirection, (std::array<uint16_t, 3>{1, 2, 3}));
    EXPECT_EQ(command.options.ca.commandRating, 12);
}

}  // namespace
}  // namespace head_end_ca_test
