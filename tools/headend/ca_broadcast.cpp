#include "headend/ca_broadcast.h"

#include <algorithm>

#include "card/card_profile.h"
#include "common/byte_writer.h"
#include "common/ecm_section.h"
#include "common/file_io.h"
#include "common/section_builder.h"

namespace krtools {
namespace {

constexpr uint16_t kOriginalNetworkId = 1;
constexpr uint16_t kTransportStreamId = 1;
constexpr uint64_t kEmmIntervalUs = 1000000;
constexpr uint32_t kEcmsPerPeriod = 4;
constexpr uint8_t kRatingEntry = 0x01;
constexpr uint32_t kCommandSequence = 1;
constexpr uint32_t kTextId = 1;
constexpr uint32_t kRedirectionId = 1;
// Only for deriving the control words: a fixed key makes every run give the same stream, and
// nothing of it reaches a terminal.
constexpr AesKey kWordSeed = {0x6B, 0x72, 0x6D, 0x75, 0x78, 0x2D, 0x63, 0x77,
                              0x2D, 0x73, 0x65, 0x65, 0x64, 0x2D, 0x30, 0x31};

ScrambledService ServiceOf(uint32_t id, uint16_t pid, bool isProgram, const std::string& name,
                           uint8_t rating) {
    ScrambledService s;
    s.id = id;
    s.pid = pid;
    s.isProgram = isProgram;
    s.entry.onid = kOriginalNetworkId;
    s.entry.tsid = kTransportStreamId;
    s.entry.svid = static_cast<uint16_t>(id);
    // The map has four bits for it; 15 and above mean no restriction to the terminal anyway.
    s.entry.flagAndRating = std::min<uint8_t>(rating, 15);
    s.entry.name = name;
    return s;
}

}  // namespace

CaContent LoadCaContent(const CaOptions& options, const Announcements& announced) {
    CaContent content;
    const CardProfile card = ReadCardProfile(options.card);
    if (!card.operatorKey)
        throw ToolError(options.card.string() + " has no operator key to encrypt the words with");
    content.operatorKey = *card.operatorKey;
    content.cardId = card.cardId;
    uint16_t ecmPid = options.ecmPidBase;
    for (const uint32_t id : options.scrambled) {
        ScrambledService service;
        if (const auto program = announced.FindProgram(id)) {
            service = ServiceOf(id, program->pid, true, program->name, program->rating);
            // The terminal names a program's service by its channel, so that comes first.
            service.entry.addresses.emplace_back(program->address, program->port);
            if (program->videoPort != 0)
                service.entry.addresses.emplace_back(program->address,
                                                     program->VideoDestinationPort());
            if (program->audioPort != 0)
                service.entry.addresses.emplace_back(program->address,
                                                     program->AudioDestinationPort());
        } else if (const auto resource = announced.FindResource(id)) {
            service = ServiceOf(id, resource->pid, false, resource->name, resource->rating);
            service.entry.addresses.emplace_back(resource->address, resource->port);
        } else {
            throw ToolError("scrambled service " + std::to_string(id) + " is in neither EPG");
        }
        if (ecmPid > 0x1FFE) throw ToolError("no PID left for the ECMs of " + std::to_string(id));
        service.entry.ecmPid = ecmPid++;
        content.services.push_back(std::move(service));
    }
    return content;
}

AesBlock ControlWord(uint32_t serviceId, uint64_t period) {
    AesBlock counter{};
    for (int i = 0; i < 4; ++i)
        counter[static_cast<std::size_t>(i)] = static_cast<uint8_t>(serviceId >> (24 - 8 * i));
    for (int i = 0; i < 8; ++i)
        counter[static_cast<std::size_t>(8 + i)] = static_cast<uint8_t>(period >> (56 - 8 * i));
    return AesEncryptBlock(kWordSeed, counter);
}

std::vector<uint8_t> BuildCaTable(uint16_t systemId, uint16_t emmPid) {
    std::vector<uint8_t> body;
    AppendBe16(body, 0xFFFF);  // reserved table id extension
    body.push_back(0xC1);      // version 0, current
    body.push_back(0x00);
    body.push_back(0x00);
    body.push_back(kCaDescriptorTag);
    body.push_back(4);
    AppendBe16(body, systemId);
    AppendBe16(body, static_cast<uint16_t>(0xE000 | (emmPid & 0x1FFF)));
    return BuildTableSection(kCaTableId, body);
}

std::vector<CaSection> BuildCaSections(const CaContent& content, const CaOptions& options,
                                       uint64_t durationUs, uint64_t tableIntervalUs,
                                       uint32_t clockBase) {
    return BuildCaSectionsBetween(content, options, 0, durationUs, tableIntervalUs, clockBase, {});
}

std::vector<CaSection> BuildCaSectionsBetween(const CaContent& content, const CaOptions& options,
                                              uint64_t fromUs, uint64_t toUs,
                                              uint64_t tableIntervalUs, uint32_t clockBase,
                                              const ExtraEmms& extra) {
    std::vector<CaSection> out;
    const auto firstAt = [fromUs](uint64_t intervalUs) {
        return (fromUs + intervalUs - 1) / intervalUs;
    };
    uint64_t order = 0;
    for (uint64_t t = firstAt(tableIntervalUs) * tableIntervalUs; t < toUs; t += tableIntervalUs)
        out.push_back({t, 0, order++, kCaTablePid, BuildCaTable(options.systemId, options.emmPid)});

    // What goes round on the CA PID, once a second.
    std::vector<std::vector<uint8_t>> emmRound;
    std::vector<ServiceMapEntry> entries;
    for (const ScrambledService& service : content.services)
        entries.push_back(service.entry);
    emmRound.push_back(BuildServiceMapSection(0, entries));
    if (!options.mails.empty()) {
        std::vector<TaggedBody> records;
        for (const MailSource& mail : options.mails) {
            MailRecordFields fields;
            fields.id = mail.id;
            fields.title = mail.title;
            fields.content = mail.content;
            records.push_back({kMailRecordTag, MailRecordBody(fields)});
        }
        emmRound.push_back(BuildMessageEmm(content.cardId, records));
    }
    if (options.commandRating)
        emmRound.push_back(BuildCardCommandEmm(content.cardId, kCommandSequence,
                                               {{kRatingEntry, {*options.commandRating}}},
                                               content.operatorKey));
    std::vector<TaggedBody> broadcast;
    if (!options.text.empty()) {
        BroadcastText text;
        text.id = kTextId;
        text.text = options.text;
        broadcast.push_back({kTextDescriptorTag, TextDescriptorBody(text)});
    }
    if (options.redirect) {
        BroadcastRedirection redirection;
        redirection.id = kRedirectionId;
        redirection.first = options.redirection[0];
        redirection.second = options.redirection[1];
        redirection.third = options.redirection[2];
        broadcast.push_back({kRedirectionDescriptorTag, RedirectionDescriptorBody(redirection)});
    }
    if (!broadcast.empty()) emmRound.push_back(BuildBroadcastSection(broadcast));
    order = 0;
    for (uint64_t t = firstAt(kEmmIntervalUs) * kEmmIntervalUs; t < toUs; t += kEmmIntervalUs) {
        for (const auto& section : emmRound)
            out.push_back({t, 1, order++, options.emmPid, section});
        if (extra)
            for (auto& section : extra(t))
                out.push_back({t, 1, order++, options.emmPid, std::move(section)});
    }

    // Each ECM carries the word of its period and the next one, so a terminal holds the next
    // word a whole period before the packets need it.
    const uint64_t periodUs = uint64_t{options.cryptoPeriodMs} * 1000;
    uint32_t source = 2;
    for (const ScrambledService& service : content.services) {
        order = 0;
        uint64_t k = fromUs * kEcmsPerPeriod / periodUs;
        while (k > 0 && (k - 1) * periodUs / kEcmsPerPeriod >= fromUs)
            --k;
        while (k * periodUs / kEcmsPerPeriod < fromUs)
            ++k;
        for (;; ++k) {
            const uint64_t t = k * periodUs / kEcmsPerPeriod;
            if (t >= toUs) break;
            const uint64_t period = t / periodUs;
            EcmFields f;
            f.onid = service.entry.onid;
            f.tsid = service.entry.tsid;
            f.svid = service.entry.svid;
            f.version = static_cast<uint8_t>(period);
            f.entitlementId = service.entry.svid;
            f.broadcastTime = clockBase + static_cast<uint32_t>(t / 1000000);
            // The terminal checks the card's viewing hours against this clock, not its own.
            const uint32_t secondOfDay = f.broadcastTime % 86400;
            const uint32_t hour = secondOfDay / 3600;
            const uint32_t minute = secondOfDay / 60 % 60;
            f.timeOfDay = static_cast<uint16_t>((hour / 10) << 12 | (hour % 10) << 8 |
                                                (minute / 10) << 4 | (minute % 10));
            for (const uint64_t p : {period, period + 1})
                f.blocks.push_back({static_cast<uint8_t>(p & 1), static_cast<uint16_t>(p),
                                    ControlWord(service.id, p)});
            out.push_back({t, source, order++, service.entry.ecmPid,
                           BuildEcmSection(f, content.operatorKey)});
        }
        ++source;
    }
    return out;
}

}  // namespace krtools
