#include "headend/schedule.h"

#include <algorithm>
#include <set>
#include <tuple>

#include "common/block_payload.h"
#include "common/section_builder.h"
#include "common/ts_packetiser.h"
#include "headend/elementary_stream.h"
#include "headend/rtp_packetiser.h"
#include "headend/sysinfo_payload.h"

namespace krtools {
namespace {

// Receivers gather a frame in a buffer of this many bytes and need one byte to spare.
constexpr std::size_t kVideoFrameLimit = 131071;
constexpr std::size_t kAudioFrameLimit = 2047;
constexpr uint16_t kTransportStreamId = 1;
constexpr uint16_t kProgramNumber = 1;
constexpr uint16_t kHeadEndSourcePort = 5000;

}  // namespace

std::vector<uint8_t> DatagramSection(uint32_t address, uint16_t port,
                                     std::vector<uint8_t> payload) {
    Datagram datagram;
    datagram.destinationAddress = address;
    datagram.destinationPort = port;
    datagram.sourcePort = kHeadEndSourcePort;
    datagram.payload = std::move(payload);
    return BuildDatagramSection(datagram);
}

ProgramClip CutClip(const LiveProgramContent& program, uint32_t frameRate) {
    ProgramClip clip;
    if (!program.video.empty()) {
        clip.videoFrames = SplitMpeg4Video(program.video);
        clip.lengthUs = clip.videoFrames.size() * kMicrosPerSecond / frameRate;
    }
    if (!program.audio.empty()) {
        clip.audio = SplitAdtsFrames(program.audio);
        if (clip.audio.sampleRate != 0)
            clip.lengthUs =
                std::max<uint64_t>(clip.lengthUs, clip.audio.frames.size() * kAdtsSamplesPerFrame *
                                                      kMicrosPerSecond / clip.audio.sampleRate);
    }
    return clip;
}

namespace {

void CheckFrames(const std::string& what, const std::vector<uint8_t>& stream,
                 const std::vector<FrameSpan>& frames, std::size_t limit, bool video,
                 std::vector<std::string>& warnings) {
    for (std::size_t i = 0; i < frames.size(); ++i) {
        if (frames[i].size > limit) {
            warnings.push_back(what + ": frame " + std::to_string(i + 1) + " is " +
                               std::to_string(frames[i].size) + " bytes; receivers take at most " +
                               std::to_string(limit));
        }
    }
    if (video && !frames.empty()) {
        const uint8_t* first = stream.data() + frames[0].offset;
        const bool startCode = frames[0].size >= 4 && first[0] == 0 && first[1] == 0 &&
                               first[2] == 1 &&
                               (first[3] == 0xB0 || first[3] == 0xB3 || first[3] == 0xB6);
        if (!startCode)
            warnings.push_back(what +
                               ": the first frame does not begin with a sequence, group "
                               "or VOP start code; receivers drop it");
    }
}

// What the stream's rates and clips need: the content's blocks and frames cut once.
struct Material {
    std::vector<std::vector<uint8_t>> epgBlocks;
    std::vector<std::vector<std::vector<uint8_t>>> resourceBlocks;
    std::vector<ProgramClip> clips;
};

Material CutMaterial(const HeadEndContent& content, const MuxOptions& options,
                     std::vector<std::string>& warnings) {
    Material m;
    m.epgBlocks = BuildBlockPayloads(content.epgContainer);
    for (const ResourceContent& resource : content.resources)
        m.resourceBlocks.push_back(BuildBlockPayloads(resource.bytes));
    const uint32_t frameRate = std::max<uint32_t>(options.frameRate, 1);
    for (const LiveProgramContent& program : content.programs) {
        m.clips.push_back(CutClip(program, frameRate));
        const std::string name = "program " + std::to_string(program.where.programId);
        CheckFrames(name + " video", program.video, m.clips.back().videoFrames, kVideoFrameLimit,
                    true, warnings);
        CheckFrames(name + " audio", program.audio, m.clips.back().audio.frames, kAudioFrameLimit,
                    false, warnings);
    }
    return m;
}

// Long enough for every clip and two turns of every carousel, unless the length is given.
uint64_t StreamDuration(const Material& m, const MuxOptions& options, uint64_t intervalUs) {
    if (options.durationMs != 0) return uint64_t{options.durationMs} * 1000;
    const uint32_t epgRate = std::max<uint32_t>(options.epgBlocksPerSecond, 1);
    const uint32_t resourceRate = std::max<uint32_t>(options.resourceBlocksPerSecond, 1);
    const uint32_t loops = std::max<uint32_t>(options.loops, 1);
    uint64_t durationUs = 2 * m.epgBlocks.size() * kMicrosPerSecond / epgRate;
    for (const auto& blocks : m.resourceBlocks)
        durationUs = std::max(durationUs, 2 * blocks.size() * kMicrosPerSecond / resourceRate);
    for (const ProgramClip& clip : m.clips)
        durationUs =
            std::max(durationUs, uint64_t{options.liveStartMs} * 1000 + clip.lengthUs * loops);
    durationUs += intervalUs;
    return (durationUs + 999) / 1000 * 1000;
}

}  // namespace

PidPlan PlanPids(const HeadEndContent& content, const MuxOptions& options) {
    PidPlan plan;
    plan.dataPids = {kSysinfoPid, options.epgPid};
    for (const auto& program : content.programs)
        plan.dataPids.insert(program.where.pid);
    for (const auto& resource : content.resources)
        plan.dataPids.insert(resource.where.pid);
    plan.programService.assign(content.programs.size(), kClearService);
    plan.resourceService.assign(content.resources.size(), kClearService);
    if (content.ca) {
        plan.caPids = {kCaTablePid, options.ca.emmPid};
        for (std::size_t s = 0; s < content.ca->services.size(); ++s) {
            const ScrambledService& service = content.ca->services[s];
            plan.caPids.insert(service.entry.ecmPid);
            for (std::size_t p = 0; p < content.programs.size(); ++p)
                if (service.isProgram && content.programs[p].where.programId == service.id)
                    plan.programService[p] = static_cast<int32_t>(s);
            for (std::size_t r = 0; r < content.resources.size(); ++r)
                if (!service.isProgram && content.resources[r].where.resourceId == service.id)
                    plan.resourceService[r] = static_cast<int32_t>(s);
        }
    }
    // The map and the clock take the first free PIDs from 0x20.
    const auto taken = [&](uint16_t pid) {
        return plan.dataPids.count(pid) != 0 || plan.caPids.count(pid) != 0;
    };
    while (taken(plan.pmtPid))
        ++plan.pmtPid;
    plan.clockPid = static_cast<uint16_t>(plan.pmtPid + 1);
    while (taken(plan.clockPid))
        ++plan.clockPid;
    return plan;
}

PsiTables BuildPsiTables(const MuxOptions& options, const PidPlan& plan,
                         std::vector<std::string>& warnings) {
    std::vector<std::pair<uint8_t, uint16_t>> pmtStreams;
    for (uint16_t pid : plan.dataPids) {
        if (pid == kPatPid) {
            if (options.psi)
                warnings.push_back(
                    "datagrams on PID 0 share it with the program association table");
            continue;
        }
        pmtStreams.emplace_back(kStreamTypeDsmcc, pid);
    }
    pmtStreams.emplace_back(kStreamTypePrivatePes, plan.clockPid);
    return {BuildPat(kTransportStreamId, kProgramNumber, plan.pmtPid),
            BuildPmt(kProgramNumber, plan.clockPid, pmtStreams)};
}

namespace {

// Program association and map tables and the system information, at its interval.
void ScheduleTables(const HeadEndContent& content, const MuxOptions& options, const PidPlan& plan,
                    uint64_t durationUs, uint64_t intervalUs, std::vector<std::string>& warnings,
                    std::vector<ScheduledSection>& out) {
    const auto [pat, pmt] = BuildPsiTables(options, plan, warnings);

    SysinfoPayload sysinfo;
    sysinfo.epgVersion = content.version;
    sysinfo.epgPid = options.epgPid;
    sysinfo.epgAddress = options.epgAddress;
    sysinfo.epgPort = options.epgPort;
    sysinfo.message = options.message;
    uint64_t round = 0;
    for (uint64_t t = 0; t < durationUs; t += intervalUs, ++round) {
        if (options.psi) {
            out.push_back({t, 0, 2 * round, SectionKind::Psi, kPatPid, pat});
            out.push_back({t, 0, 2 * round + 1, SectionKind::Psi, plan.pmtPid, pmt});
        }
        sysinfo.time = TimeAfter(content.version, t / kMicrosPerSecond);
        out.push_back(
            {t, 1, round, SectionKind::Sysinfo, kSysinfoPid,
             DatagramSection(kSysinfoAddress, kSysinfoPort, BuildSysinfoPayload(sysinfo))});
    }
}

// One block after the other at rate, round and round.
void ScheduleCarousel(const std::vector<std::vector<uint8_t>>& blocks, uint32_t rate,
                      uint32_t source, SectionKind kind, uint16_t pid, uint32_t address,
                      uint16_t port, int32_t service, uint64_t durationUs,
                      std::vector<ScheduledSection>& out) {
    for (uint64_t j = 0;; ++j) {
        const uint64_t t = j * kMicrosPerSecond / rate;
        if (t >= durationUs) break;
        out.push_back(
            {t, source, j, kind, pid,
             DatagramSection(address, port, blocks[static_cast<std::size_t>(j % blocks.size())])});
        out.back().service = service;
    }
}

// A program's clip as RTP frames from the live start on, looped.
void ScheduleProgram(const LiveProgramContent& program, const ProgramClip& clip,
                     const MuxOptions& options, uint32_t videoSource, int32_t service,
                     uint64_t durationUs, std::vector<ScheduledSection>& out) {
    const uint32_t frameRate = std::max<uint32_t>(options.frameRate, 1);
    const uint32_t loops = std::max<uint32_t>(options.loops, 1);
    const uint64_t liveStartUs = uint64_t{options.liveStartMs} * 1000;
    const uint32_t audioSource = videoSource + 1;
    const uint32_t id = program.where.programId;
    // Timestamps never start at 0: a receiver's first frame must differ from its initial
    // state. The sequence runs on over the loops of the clip.
    RtpPacketiser video(kVideoPayloadType, (id << 1) | 0, 1);
    RtpPacketiser audio(kAudioPayloadType, (id << 1) | 1, 1);
    uint64_t order = 0;
    const std::size_t videoCount = clip.videoFrames.size();
    for (uint64_t k = 0; k < videoCount * loops; ++k) {
        const uint64_t t = liveStartUs + k * kMicrosPerSecond / frameRate;
        if (t >= durationUs) break;
        const FrameSpan& frame = clip.videoFrames[static_cast<std::size_t>(k % videoCount)];
        const auto timestamp = static_cast<uint32_t>(0x1000 + k * kVideoClock / frameRate);
        for (auto& packet :
             video.Packetise(program.video.data() + frame.offset, frame.size, timestamp)) {
            out.push_back(
                {t, videoSource, order++, SectionKind::Video, program.where.pid,
                 DatagramSection(program.where.address, program.where.VideoDestinationPort(),
                                 std::move(packet))});
            out.back().service = service;
        }
    }
    const std::size_t audioCount = clip.audio.frames.size();
    for (uint64_t k = 0; k < audioCount * loops; ++k) {
        const uint64_t t =
            liveStartUs + k * kAdtsSamplesPerFrame * kMicrosPerSecond / clip.audio.sampleRate;
        if (t >= durationUs) break;
        const FrameSpan& frame = clip.audio.frames[static_cast<std::size_t>(k % audioCount)];
        const auto timestamp = static_cast<uint32_t>(0x1000 + k * kAdtsSamplesPerFrame);
        for (auto& packet :
             audio.Packetise(program.audio.data() + frame.offset, frame.size, timestamp)) {
            out.push_back(
                {t, audioSource, order++, SectionKind::Audio, program.where.pid,
                 DatagramSection(program.where.address, program.where.AudioDestinationPort(),
                                 std::move(packet))});
            out.back().service = service;
        }
    }
}

}  // namespace

Schedule ScheduleStream(const HeadEndContent& content, const MuxOptions& options,
                        std::vector<std::string>& warnings) {
    const uint64_t intervalUs = uint64_t{std::max<uint32_t>(options.sysinfoIntervalMs, 1)} * 1000;
    const Material material = CutMaterial(content, options, warnings);
    const PidPlan plan = PlanPids(content, options);
    Schedule schedule;
    schedule.durationUs = StreamDuration(material, options, intervalUs);
    schedule.clockPid = plan.clockPid;
    const uint64_t durationUs = schedule.durationUs;
    std::vector<ScheduledSection>& out = schedule.sections;

    ScheduleTables(content, options, plan, durationUs, intervalUs, warnings, out);
    ScheduleCarousel(material.epgBlocks, std::max<uint32_t>(options.epgBlocksPerSecond, 1), 2,
                     SectionKind::EpgBlock, options.epgPid, options.epgAddress, options.epgPort,
                     kClearService, durationUs, out);
    uint32_t source = 3;
    for (std::size_t r = 0; r < content.resources.size(); ++r) {
        const AnnouncedResource& where = content.resources[r].where;
        ScheduleCarousel(material.resourceBlocks[r],
                         std::max<uint32_t>(options.resourceBlocksPerSecond, 1), source++,
                         SectionKind::ResourceBlock, where.pid, where.address, where.port,
                         plan.resourceService[r], durationUs, out);
    }
    for (std::size_t p = 0; p < content.programs.size(); ++p) {
        ScheduleProgram(content.programs[p], material.clips[p], options, source,
                        plan.programService[p], durationUs, out);
        source += 2;
    }
    if (content.ca) {
        for (CaSection& ca : BuildCaSections(*content.ca, options.ca, durationUs, intervalUs,
                                             StampSeconds(content.version))) {
            out.push_back(
                {ca.timeUs, ca.source, ca.order, SectionKind::Ca, ca.pid, std::move(ca.section)});
            out.back().rank = 0;
        }
    }

    std::sort(out.begin(), out.end(), [](const ScheduledSection& a, const ScheduledSection& b) {
        return std::tie(a.timeUs, a.rank, a.source, a.order) <
               std::tie(b.timeUs, b.rank, b.source, b.order);
    });
    return schedule;
}

}  // namespace krtools
