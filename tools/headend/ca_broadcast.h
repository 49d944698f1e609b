// What a head end adds to the multiplex for conditional access: the CA table naming the CA PID,
// the service map, EMMs and broadcast data on that PID, an ECM carousel per scrambled service,
// and the control words its packets are scrambled with, period by period.
#pragma once

#include <cstdint>
#include <functional>
#include <vector>

#include "common/aes128.h"
#include "common/ca_section.h"
#include "common/emm_section.h"
#include "common/epg_announcements.h"
#include "common/service_map_section.h"
#include "headend/mux_options.h"

namespace krtools {

struct ScrambledService {
    uint32_t id = 0;  // the program or resource id, also its svid and entitlement id
    uint16_t pid = 0;
    bool isProgram = false;
    ServiceMapEntry entry;
};

struct CaContent {
    AesKey operatorKey{};
    CardId cardId{};
    std::vector<ScrambledService> services;
};

// The card profile read and every scrambled id found in the EPG's announcements. Throws
// ToolError for a card without an operator key or an id the EPG does not announce.
CaContent LoadCaContent(const CaOptions& options, const Announcements& announced);

// The word that scrambles a service in a crypto period: the same on every run.
AesBlock ControlWord(uint32_t serviceId, uint64_t period);

// The CA table with one CA descriptor.
std::vector<uint8_t> BuildCaTable(uint16_t systemId, uint16_t emmPid);

struct CaSection {
    uint64_t timeUs = 0;
    uint32_t source = 0;  // orders sections of one instant
    uint64_t order = 0;
    uint16_t pid = 0;
    std::vector<uint8_t> section;
};

// Every CA section of a stream of durationUs. clockBase is the broadcast time at 0, in seconds
// since 1970 (UTC).
std::vector<CaSection> BuildCaSections(const CaContent& content, const CaOptions& options,
                                       uint64_t durationUs, uint64_t tableIntervalUs,
                                       uint32_t clockBase);

// The same for the instants in [fromUs, toUs) of a longer stream. extra, when given, adds
// EMMs to the round of instant t.
using ExtraEmms = std::function<std::vector<std::vector<uint8_t>>(uint64_t t)>;
std::vector<CaSection> BuildCaSectionsBetween(const CaContent& content, const CaOptions& options,
                                              uint64_t fromUs, uint64_t toUs,
                                              uint64_t tableIntervalUs, uint32_t clockBase,
                                              const ExtraEmms& extra);

}  // namespace krtools
