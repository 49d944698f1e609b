#include "headend/long_broadcast.h"

#include <algorithm>
#include <tuple>

#include "common/block_payload.h"
#include "common/file_io.h"
#include "common/section_builder.h"
#include "headend/damage.h"
#include "headend/multiplex.h"
#include "headend/rtp_packetiser.h"
#include "headend/schedule.h"
#include "headend/sysinfo_payload.h"

namespace krtools {
namespace {

constexpr uint64_t kWindowUs = kMicrosPerSecond;

// The first k whose instant offset + k * stepNum / stepDen is at or after t.
uint64_t FirstIndexAt(uint64_t t, uint64_t offset, uint64_t stepNum, uint64_t stepDen) {
    if (t <= offset) return 0;
    const auto at = [&](uint64_t k) { return offset + k * stepNum / stepDen; };
    uint64_t k = (t - offset) * stepDen / stepNum;
    while (k > 0 && at(k - 1) >= t)
        --k;
    while (at(k) < t)
        ++k;
    return k;
}

std::vector<std::vector<uint8_t>> BlockSections(const std::vector<uint8_t>& bytes, uint32_t address,
                                                uint16_t port) {
    std::vector<std::vector<uint8_t>> sections;
    for (auto& block : BuildBlockPayloads(bytes))
        sections.push_back(DatagramSection(address, port, std::move(block)));
    return sections;
}

}  // namespace

struct LongBroadcast::State {
    struct ProgramState {
        ProgramClip clip;
        RtpPacketiser video;
        RtpPacketiser audio;
        uint64_t nextVideo = 0;  // frame index over the loops
        uint64_t nextAudio = 0;
        uint64_t order = 0;
    };

    MuxOptions options;
    HeadEndContent content;
    std::vector<std::string> warnings;
    BroadcastPlan plan;
    PidPlan pids;
    PsiTables psi;
    Multiplexer multiplexer;
    StreamDamage damage;
    uint64_t intervalUs;
    uint32_t clockBase;
    // The current EPG version's carousel, made once per version.
    uint32_t epgVersion = UINT32_MAX;
    std::vector<std::vector<uint8_t>> epgSections;
    std::string epgStamp;
    std::vector<std::vector<std::vector<uint8_t>>> resourceSections;
    std::vector<ProgramState> programs;
    uint64_t nowUs = 0;
    bool ended = false;

    explicit State(const MuxOptions& o)
        : options(o),
          content(LoadContent(o)),
          plan(o, content.epgFiles, content.version),
          pids(PlanPids(content, o)),
          psi(BuildPsiTables(o, pids, warnings)),
          multiplexer(pids.clockPid, content, o),
          damage(o),
          intervalUs(uint64_t{std::max<uint32_t>(o.sysinfoIntervalMs, 1)} * 1000),
          clockBase(StampSeconds(content.version)) {
        for (const ResourceContent& r : content.resources)
            resourceSections.push_back(BlockSections(r.bytes, r.where.address, r.where.port));
        const uint32_t frameRate = std::max<uint32_t>(o.frameRate, 1);
        for (const LiveProgramContent& p : content.programs) {
            const uint32_t id = p.where.programId;
            programs.push_back({CutClip(p, frameRate), RtpPacketiser(kVideoPayloadType, id << 1, 1),
                                RtpPacketiser(kAudioPayloadType, (id << 1) | 1, 1), 0, 0, 0});
        }
    }

    void UseEpgVersion(uint32_t version) {
        if (version == epgVersion) return;
        epgVersion = version;
        const std::vector<uint8_t> container = BuildEpgContainer(plan.EpgFilesOf(version));
        if (BlockCount(container.size()) > kMaxBlocks)
            throw ToolError("EPG version " + std::to_string(version) + " is too large");
        epgSections = BlockSections(container, options.epgAddress, options.epgPort);
        epgStamp = plan.VersionStamp(version);
    }

    void Tables(uint64_t t0, uint64_t t1, std::vector<ScheduledSection>& out) {
        SysinfoPayload sysinfo;
        sysinfo.epgPid = options.epgPid;
        sysinfo.epgAddress = options.epgAddress;
        sysinfo.epgPort = options.epgPort;
        sysinfo.message = options.message;
        for (uint64_t r = FirstIndexAt(t0, 0, intervalUs, 1);; ++r) {
            const uint64_t t = r * intervalUs;
            if (t >= t1) break;
            if (options.psi) {
                out.push_back({t, 0, 2 * r, SectionKind::Psi, kPatPid, psi.pat});
                out.push_back({t, 0, 2 * r + 1, SectionKind::Psi, pids.pmtPid, psi.pmt});
            }
            UseEpgVersion(plan.EpgVersionAt(t));
            sysinfo.epgVersion = epgStamp;
            sysinfo.time = TimeAfter(content.version, t / kMicrosPerSecond);
            out.push_back(
                {t, 1, r, SectionKind::Sysinfo, kSysinfoPid,
                 DatagramSection(kSysinfoAddress, kSysinfoPort, BuildSysinfoPayload(sysinfo))});
        }
    }

    // The EPG carousel starts again from its first block with each version.
    void Epg(uint64_t t0, uint64_t t1, std::vector<ScheduledSection>& out) {
        const uint32_t rate = std::max<uint32_t>(options.epgBlocksPerSecond, 1);
        for (uint32_t v = plan.EpgVersionAt(t0); v <= plan.EpgVersionAt(t1 - 1); ++v) {
            UseEpgVersion(v);
            const uint64_t start = plan.EpgVersionStartUs(v);
            const uint64_t end =
                std::min(t1, v == plan.EpgVersionAt(t1 - 1) ? t1 : plan.EpgVersionStartUs(v + 1));
            for (uint64_t j = FirstIndexAt(std::max(t0, start), start, kMicrosPerSecond, rate);;
                 ++j) {
                const uint64_t t = start + j * kMicrosPerSecond / rate;
                if (t >= end) break;
                out.push_back({t, 2, j, SectionKind::EpgBlock, options.epgPid,
                               epgSections[static_cast<std::size_t>(j % epgSections.size())]});
            }
        }
    }

    void Resources(uint64_t t0, uint64_t t1, std::vector<ScheduledSection>& out) {
        const uint32_t rate = std::max<uint32_t>(options.resourceBlocksPerSecond, 1);
        for (std::size_t r = 0; r < resourceSections.size(); ++r) {
            const auto& blocks = resourceSections[r];
            for (uint64_t j = FirstIndexAt(t0, 0, kMicrosPerSecond, rate);; ++j) {
                const uint64_t t = j * kMicrosPerSecond / rate;
                if (t >= t1) break;
                out.push_back({t, static_cast<uint32_t>(3 + r), j, SectionKind::ResourceBlock,
                               content.resources[r].where.pid,
                               blocks[static_cast<std::size_t>(j % blocks.size())]});
                out.back().service = pids.resourceService[r];
            }
        }
    }

    void Programs(uint64_t t1, std::vector<ScheduledSection>& out) {
        const uint32_t frameRate = std::max<uint32_t>(options.frameRate, 1);
        const uint64_t liveStartUs = uint64_t{options.liveStartMs} * 1000;
        auto source = static_cast<uint32_t>(3 + content.resources.size());
        for (std::size_t p = 0; p < programs.size(); ++p, source += 2) {
            ProgramState& s = programs[p];
            const LiveProgramContent& program = content.programs[p];
            const AnnouncedProgram& where = program.where;
            const std::size_t videoCount = s.clip.videoFrames.size();
            for (; videoCount != 0; ++s.nextVideo) {
                const uint64_t k = s.nextVideo;
                const uint64_t t = liveStartUs + k * kMicrosPerSecond / frameRate;
                if (t >= t1) break;
                const FrameSpan& f = s.clip.videoFrames[static_cast<std::size_t>(k % videoCount)];
                const auto timestamp = static_cast<uint32_t>(0x1000 + k * kVideoClock / frameRate);
                for (auto& packet :
                     s.video.Packetise(program.video.data() + f.offset, f.size, timestamp)) {
                    out.push_back({t, source, s.order++, SectionKind::Video, where.pid,
                                   DatagramSection(where.address, where.VideoDestinationPort(),
                                                   std::move(packet))});
                    out.back().service = pids.programService[p];
                }
            }
            const std::size_t audioCount = s.clip.audio.frames.size();
            for (; audioCount != 0; ++s.nextAudio) {
                const uint64_t k = s.nextAudio;
                const uint64_t t = liveStartUs + k * kAdtsSamplesPerFrame * kMicrosPerSecond /
                                                     s.clip.audio.sampleRate;
                if (t >= t1) break;
                const FrameSpan& f = s.clip.audio.frames[static_cast<std::size_t>(k % audioCount)];
                const auto timestamp = static_cast<uint32_t>(0x1000 + k * kAdtsSamplesPerFrame);
                for (auto& packet :
                     s.audio.Packetise(program.audio.data() + f.offset, f.size, timestamp)) {
                    out.push_back({t, source + 1, s.order++, SectionKind::Audio, where.pid,
                                   DatagramSection(where.address, where.AudioDestinationPort(),
                                                   std::move(packet))});
                    out.back().service = pids.programService[p];
                }
            }
        }
    }

    // The EMMs of the plan's events that are on the air at t.
    std::vector<std::vector<uint8_t>> EventEmms(uint64_t t) const {
        std::vector<std::vector<uint8_t>> emms;
        const CaContent& ca = *content.ca;
        const auto onAir = [t](uint64_t event, uint64_t startUs) {
            return event != 0 && t >= startUs && t < startUs + kEventAirUs;
        };
        for (uint64_t e = plan.MailEventAt(t); onAir(e, plan.MailEventStartUs(e)); --e) {
            for (const PlannedMail& mail : plan.MailsOf(e)) {
                MailRecordFields fields;
                fields.id = mail.id;
                fields.title = mail.title;
                fields.content = mail.content;
                emms.push_back(
                    BuildMessageEmm(ca.cardId, {{kMailRecordTag, MailRecordBody(fields)}}));
            }
        }
        for (uint64_t e = plan.CommandEventAt(t); onAir(e, plan.CommandEventStartUs(e)); --e) {
            constexpr uint8_t kCommandRatingEntry = 0x01;
            emms.push_back(BuildCardCommandEmm(
                ca.cardId, BroadcastPlan::CommandSequence(e),
                {{kCommandRatingEntry, {BroadcastPlan::CommandRating(e)}}}, ca.operatorKey));
        }
        for (uint64_t e = plan.TextEventAt(t); onAir(e, plan.TextEventStartUs(e)); --e) {
            BroadcastText text;
            text.id = BroadcastPlan::TextId(e);
            text.text = BroadcastPlan::Text(e);
            emms.push_back(BuildBroadcastSection({{kTextDescriptorTag, TextDescriptorBody(text)}}));
        }
        return emms;
    }

    void Ca(uint64_t t0, uint64_t t1, std::vector<ScheduledSection>& out) {
        if (!content.ca) return;
        for (CaSection& ca :
             BuildCaSectionsBetween(*content.ca, options.ca, t0, t1, intervalUs, clockBase,
                                    [this](uint64_t t) { return EventEmms(t); })) {
            out.push_back(
                {ca.timeUs, ca.source, ca.order, SectionKind::Ca, ca.pid, std::move(ca.section)});
            out.back().rank = 0;
        }
    }
};

LongBroadcast::LongBroadcast(const MuxOptions& options)
    : state_(std::make_unique<State>(options)) {}

LongBroadcast::~LongBroadcast() = default;

const BroadcastPlan& LongBroadcast::plan() const {
    return state_->plan;
}

const HeadEndContent& LongBroadcast::content() const {
    return state_->content;
}

const std::vector<std::string>& LongBroadcast::warnings() const {
    return state_->warnings;
}

bool LongBroadcast::Next(MuxResult& result) {
    State& s = *state_;
    const uint64_t durationUs = s.plan.durationUs();
    if (s.ended) return false;
    const std::size_t firstPacket = result.stream.size() / kTsPacketSize;
    if (s.nowUs >= durationUs) {
        s.multiplexer.End(durationUs, result);
        s.damage.Apply(result, firstPacket);
        result.durationMs = durationUs / 1000;
        s.ended = true;
        return true;
    }
    const uint64_t t0 = s.nowUs;
    const uint64_t t1 = std::min(t0 + kWindowUs, durationUs);
    std::vector<ScheduledSection> sections;
    s.Tables(t0, t1, sections);
    s.Epg(t0, t1, sections);
    s.Resources(t0, t1, sections);
    s.Programs(t1, sections);
    s.Ca(t0, t1, sections);
    std::sort(sections.begin(), sections.end(),
              [](const ScheduledSection& a, const ScheduledSection& b) {
                  return std::tie(a.timeUs, a.rank, a.source, a.order) <
                         std::tie(b.timeUs, b.rank, b.source, b.order);
              });
    s.multiplexer.Put(sections, result);
    s.damage.Apply(result, firstPacket);
    s.nowUs = t1;
    result.durationMs = t1 / 1000;
    return true;
}

}  // namespace krtools
