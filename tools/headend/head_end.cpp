#include "headend/head_end.h"

#include <algorithm>
#include <set>
#include <tuple>

#include "common/block_payload.h"
#include "common/cissa.h"
#include "common/file_io.h"
#include "common/section_builder.h"
#include "common/ts_packetiser.h"
#include "headend/elementary_stream.h"
#include "headend/rtp_packetiser.h"
#include "headend/sysinfo_payload.h"

namespace krtools {
namespace {

constexpr uint64_t kMicrosPerSecond = 1000000;
constexpr uint32_t kVideoClock = 90000;
constexpr uint32_t kAdtsSamplesPerFrame = 1024;
// Receivers gather a frame in a buffer of this many bytes and need one byte to spare.
constexpr std::size_t kVideoFrameLimit = 131071;
constexpr std::size_t kAudioFrameLimit = 2047;
constexpr uint16_t kTransportStreamId = 1;
constexpr uint16_t kProgramNumber = 1;
constexpr uint16_t kFirstPmtPid = 0x0020;
constexpr uint16_t kHeadEndSourcePort = 5000;

enum class Kind : uint8_t { Psi, Sysinfo, EpgBlock, ResourceBlock, Video, Audio, Ca };

constexpr int32_t kClear = -1;

struct Event {
    uint64_t timeUs;
    uint32_t source;  // orders events of the same instant
    uint64_t order;   // orders the events of one source
    Kind kind;
    uint16_t pid;
    std::vector<uint8_t> section;
    // CA sections come first at an instant, so the first words are there before the packets.
    uint8_t rank = 1;
    int32_t service = kClear;  // the scrambled service whose packets these are
};

std::vector<uint8_t> DatagramSection(uint32_t address, uint16_t port,
                                     std::vector<uint8_t> payload) {
    Datagram datagram;
    datagram.destinationAddress = address;
    datagram.destinationPort = port;
    datagram.sourcePort = kHeadEndSourcePort;
    datagram.payload = std::move(payload);
    return BuildDatagramSection(datagram);
}

// splitmix64: the same numbers on every platform for a seed.
class Random {
  public:
    explicit Random(uint64_t seed) : state_(seed) {}
    uint64_t Next() {
        uint64_t z = (state_ += 0x9E3779B97F4A7C15ull);
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
        return z ^ (z >> 31);
    }

  private:
    uint64_t state_;
};

uint64_t ShareThreshold(double share) {
    return static_cast<uint64_t>(share * 4294967296.0);
}

struct ProgramClip {
    std::vector<FrameSpan> videoFrames;
    AdtsInfo audio;
    uint64_t lengthUs = 0;
};

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

}  // namespace

HeadEndContent LoadContent(const MuxOptions& options) {
    HeadEndContent content;
    content.epgFiles = ReadEpgDirectory(options.epgDirectory);
    content.epgContainer = BuildEpgContainer(content.epgFiles);
    if (BlockCount(content.epgContainer.size()) > kMaxBlocks)
        throw ToolError("the EPG container is " + std::to_string(content.epgContainer.size()) +
                        " bytes, more than " + std::to_string(kMaxBlocks) + " blocks of " +
                        std::to_string(kBlockDataSize) + " bytes");

    const EpgFile* live = FindEpgFile(content.epgFiles, "LiveEPG.txt");
    const EpgFile* file = FindEpgFile(content.epgFiles, "FileEPG.txt");
    const Announcements announced = ReadAnnouncements(live ? live->bytes : std::vector<uint8_t>{},
                                                      file ? file->bytes : std::vector<uint8_t>{});

    content.version = options.version.empty() ? announced.liveVersion : options.version;
    if (!IsVersionStamp(content.version))
        throw ToolError(
            "no EPG version: give --version YYYYMMDDhhmmss or a VERSION line in "
            "LiveEPG.txt");

    for (const LiveProgramSource& source : options.programs) {
        const std::string name = "program " + std::to_string(source.programId);
        const auto where = announced.FindProgram(source.programId);
        if (!where) throw ToolError(name + " is not in LiveEPG.txt");
        if (where->sort != 4)
            throw ToolError(name + " is not an RTP program (ProgramSort " +
                            std::to_string(where->sort) + ")");
        LiveProgramContent program{*where, {}, {}};
        if (!source.video.empty()) {
            if (where->videoPort == 0) throw ToolError(name + " announces no video stream");
            program.video = ReadWholeFile(source.video);
            if (program.video.empty()) throw ToolError(source.video.string() + " is empty");
        }
        if (!source.audio.empty()) {
            if (where->audioPort == 0) throw ToolError(name + " announces no audio stream");
            program.audio = ReadWholeFile(source.audio);
            if (SplitAdtsFrames(program.audio).frames.empty())
                throw ToolError(source.audio.string() + " is not AAC audio in ADTS frames");
        }
        content.programs.push_back(std::move(program));
    }
    for (const ResourceSource& source : options.resources) {
        const auto where = announced.FindResource(source.resourceId);
        if (!where)
            throw ToolError("resource " + std::to_string(source.resourceId) +
                            " is not in FileEPG.txt");
        content.resources.push_back({*where, ReadWholeFile(source.file)});
    }
    if (options.ca.Enabled()) content.ca = LoadCaContent(options.ca, announced);
    return content;
}

MuxResult GenerateStream(const HeadEndContent& content, const MuxOptions& options) {
    MuxResult result;
    const uint32_t frameRate = std::max<uint32_t>(options.frameRate, 1);
    const uint32_t epgRate = std::max<uint32_t>(options.epgBlocksPerSecond, 1);
    const uint32_t resourceRate = std::max<uint32_t>(options.resourceBlocksPerSecond, 1);
    const uint64_t intervalUs = uint64_t{std::max<uint32_t>(options.sysinfoIntervalMs, 1)} * 1000;
    const uint32_t loops = std::max<uint32_t>(options.loops, 1);

    const auto epgBlocks = BuildBlockPayloads(content.epgContainer);
    std::vector<std::vector<std::vector<uint8_t>>> resourceBlocks;
    for (const ResourceContent& resource : content.resources)
        resourceBlocks.push_back(BuildBlockPayloads(resource.bytes));
    std::vector<ProgramClip> clips;
    for (const LiveProgramContent& program : content.programs) {
        clips.push_back(CutClip(program, frameRate));
        const std::string name = "program " + std::to_string(program.where.programId);
        CheckFrames(name + " video", program.video, clips.back().videoFrames, kVideoFrameLimit,
                    true, result.warnings);
        CheckFrames(name + " audio", program.audio, clips.back().audio.frames, kAudioFrameLimit,
                    false, result.warnings);
    }

    // Long enough for every clip and two turns of every carousel, unless the length is given.
    uint64_t durationUs = uint64_t{options.durationMs} * 1000;
    if (durationUs == 0) {
        durationUs = 2 * epgBlocks.size() * kMicrosPerSecond / epgRate;
        for (const auto& blocks : resourceBlocks)
            durationUs = std::max(durationUs, 2 * blocks.size() * kMicrosPerSecond / resourceRate);
        for (const ProgramClip& clip : clips)
            durationUs =
                std::max(durationUs, uint64_t{options.liveStartMs} * 1000 + clip.lengthUs * loops);
        durationUs += intervalUs;
        durationUs = (durationUs + 999) / 1000 * 1000;
    }
    result.durationMs = durationUs / 1000;

    std::vector<Event> events;
    // PSI lists every PID that carries data; the map goes on the first free PID from 0x20.
    std::set<uint16_t> dataPids{kSysinfoPid, options.epgPid};
    for (const auto& program : content.programs)
        dataPids.insert(program.where.pid);
    for (const auto& resource : content.resources)
        dataPids.insert(resource.where.pid);
    // CA PIDs stay out of the map (terminals learn them from the CA table) but not in its way.
    std::set<uint16_t> caPids;
    std::vector<int32_t> programService(content.programs.size(), kClear);
    std::vector<int32_t> resourceService(content.resources.size(), kClear);
    if (content.ca) {
        caPids = {kCaTablePid, options.ca.emmPid};
        for (std::size_t s = 0; s < content.ca->services.size(); ++s) {
            const ScrambledService& service = content.ca->services[s];
            caPids.insert(service.entry.ecmPid);
            for (std::size_t p = 0; p < content.programs.size(); ++p)
                if (service.isProgram && content.programs[p].where.programId == service.id)
                    programService[p] = static_cast<int32_t>(s);
            for (std::size_t r = 0; r < content.resources.size(); ++r)
                if (!service.isProgram && content.resources[r].where.resourceId == service.id)
                    resourceService[r] = static_cast<int32_t>(s);
        }
    }
    uint16_t pmtPid = kFirstPmtPid;
    while (dataPids.count(pmtPid) || caPids.count(pmtPid))
        ++pmtPid;
    std::vector<std::pair<uint8_t, uint16_t>> pmtStreams;
    for (uint16_t pid : dataPids) {
        if (pid == kPatPid) {
            if (options.psi)
                result.warnings.push_back(
                    "datagrams on PID 0 share it with the program association table");
            continue;
        }
        pmtStreams.emplace_back(kStreamTypeDsmcc, pid);
    }

    SysinfoPayload sysinfo;
    sysinfo.epgVersion = content.version;
    sysinfo.epgPid = options.epgPid;
    sysinfo.epgAddress = options.epgAddress;
    sysinfo.epgPort = options.epgPort;
    sysinfo.message = options.message;
    uint64_t round = 0;
    for (uint64_t t = 0; t < durationUs; t += intervalUs, ++round) {
        if (options.psi) {
            events.push_back({t, 0, 2 * round, Kind::Psi, kPatPid,
                              BuildPat(kTransportStreamId, kProgramNumber, pmtPid)});
            events.push_back(
                {t, 0, 2 * round + 1, Kind::Psi, pmtPid, BuildPmt(kProgramNumber, pmtStreams)});
        }
        sysinfo.time = TimeAfter(content.version, t / kMicrosPerSecond);
        events.push_back(
            {t, 1, round, Kind::Sysinfo, kSysinfoPid,
             DatagramSection(kSysinfoAddress, kSysinfoPort, BuildSysinfoPayload(sysinfo))});
    }

    auto carousel = [&](const std::vector<std::vector<uint8_t>>& blocks, uint32_t rate,
                        uint32_t source, Kind kind, uint16_t pid, uint32_t address, uint16_t port,
                        int32_t service) {
        for (uint64_t j = 0;; ++j) {
            const uint64_t t = j * kMicrosPerSecond / rate;
            if (t >= durationUs) break;
            events.push_back(
                {t, source, j, kind, pid,
                 DatagramSection(address, port,
                                 blocks[static_cast<std::size_t>(j % blocks.size())])});
            events.back().service = service;
        }
    };
    carousel(epgBlocks, epgRate, 2, Kind::EpgBlock, options.epgPid, options.epgAddress,
             options.epgPort, kClear);
    uint32_t source = 3;
    for (std::size_t r = 0; r < content.resources.size(); ++r) {
        const AnnouncedResource& where = content.resources[r].where;
        carousel(resourceBlocks[r], resourceRate, source++, Kind::ResourceBlock, where.pid,
                 where.address, where.port, resourceService[r]);
    }

    const uint64_t liveStartUs = uint64_t{options.liveStartMs} * 1000;
    for (std::size_t p = 0; p < content.programs.size(); ++p) {
        const LiveProgramContent& program = content.programs[p];
        const ProgramClip& clip = clips[p];
        const uint32_t id = program.where.programId;
        // Timestamps never start at 0: a receiver's first frame must differ from its initial
        // state. The sequence runs on over the loops of the clip.
        RtpPacketiser video(kVideoPayloadType, (id << 1) | 0, 1);
        RtpPacketiser audio(kAudioPayloadType, (id << 1) | 1, 1);
        const uint32_t videoSource = source++;
        const uint32_t audioSource = source++;
        uint64_t order = 0;
        const std::size_t videoCount = clip.videoFrames.size();
        for (uint64_t k = 0; k < videoCount * loops; ++k) {
            const uint64_t t = liveStartUs + k * kMicrosPerSecond / frameRate;
            if (t >= durationUs) break;
            const FrameSpan& frame = clip.videoFrames[static_cast<std::size_t>(k % videoCount)];
            const auto timestamp = static_cast<uint32_t>(0x1000 + k * kVideoClock / frameRate);
            for (auto& packet :
                 video.Packetise(program.video.data() + frame.offset, frame.size, timestamp))
                events.push_back(
                    {t, videoSource, order++, Kind::Video, program.where.pid,
                     DatagramSection(program.where.address, program.where.VideoDestinationPort(),
                                     std::move(packet))});
        }
        const std::size_t audioCount = clip.audio.frames.size();
        for (uint64_t k = 0; k < audioCount * loops; ++k) {
            const uint64_t t =
                liveStartUs + k * kAdtsSamplesPerFrame * kMicrosPerSecond / clip.audio.sampleRate;
            if (t >= durationUs) break;
            const FrameSpan& frame = clip.audio.frames[static_cast<std::size_t>(k % audioCount)];
            const auto timestamp = static_cast<uint32_t>(0x1000 + k * kAdtsSamplesPerFrame);
            for (auto& packet :
                 audio.Packetise(program.audio.data() + frame.offset, frame.size, timestamp))
                events.push_back(
                    {t, audioSource, order++, Kind::Audio, program.where.pid,
                     DatagramSection(program.where.address, program.where.AudioDestinationPort(),
                                     std::move(packet))});
        }
        if (programService[p] != kClear)
            for (Event& event : events)
                if (event.source == videoSource || event.source == audioSource)
                    event.service = programService[p];
    }

    if (content.ca) {
        for (CaSection& ca : BuildCaSections(*content.ca, options.ca, durationUs, intervalUs,
                                             StampSeconds(content.version))) {
            events.push_back(
                {ca.timeUs, ca.source, ca.order, Kind::Ca, ca.pid, std::move(ca.section)});
            events.back().rank = 0;
        }
    }

    std::sort(events.begin(), events.end(), [](const Event& a, const Event& b) {
        return std::tie(a.timeUs, a.rank, a.source, a.order) <
               std::tie(b.timeUs, b.rank, b.source, b.order);
    });

    // Consecutive sections on one PID are packed back to back, except that a scrambled
    // service's sections keep packets of their own, one crypto period's apart from the next.
    const uint64_t periodUs = uint64_t{std::max<uint32_t>(options.ca.cryptoPeriodMs, 1)} * 1000;
    auto sameRun = [&](const Event& a, const Event& b) {
        return a.pid == b.pid && a.service == b.service &&
               (a.service == kClear || a.timeUs / periodUs == b.timeUs / periodUs);
    };
    TsPacketiser packetiser;
    std::vector<uint8_t> stream;
    for (std::size_t i = 0; i < events.size();) {
        std::size_t end = i;
        std::vector<std::vector<uint8_t>> run;
        while (end < events.size() && sameRun(events[end], events[i])) {
            switch (events[end].kind) {
                case Kind::Sysinfo:
                    ++result.sysinfoSections;
                    break;
                case Kind::EpgBlock:
                    ++result.epgBlockSections;
                    break;
                case Kind::ResourceBlock:
                    ++result.resourceBlockSections;
                    break;
                case Kind::Video:
                    ++result.videoSections;
                    break;
                case Kind::Audio:
                    ++result.audioSections;
                    break;
                case Kind::Ca:
                    ++result.caSections;
                    break;
                case Kind::Psi:
                    break;
            }
            run.push_back(std::move(events[end].section));
            ++end;
        }
        const std::size_t runStart = stream.size();
        packetiser.PutSections(events[i].pid, run, stream);
        if (events[i].service != kClear) {
            const uint64_t period = events[i].timeUs / periodUs;
            const ScrambledService& service =
                content.ca->services[static_cast<std::size_t>(events[i].service)];
            const AesBlock word = ControlWord(service.id, period);
            for (std::size_t at = runStart; at < stream.size(); at += kTsPacketSize) {
                ScramblePacket(stream.data() + at, word, (period & 1) != 0);
                ++result.scrambledPackets;
            }
        }
        i = end;
    }

    if (options.dropShare <= 0 && options.corruptShare <= 0) {
        result.stream = std::move(stream);
        return result;
    }
    Random random(options.seed);
    const uint64_t drop = ShareThreshold(options.dropShare);
    const uint64_t corrupt = drop + ShareThreshold(options.corruptShare);
    result.stream.reserve(stream.size());
    for (std::size_t at = 0; at < stream.size(); at += kTsPacketSize) {
        const uint64_t draw = random.Next() >> 32;
        if (draw < drop) {
            ++result.droppedPackets;
            continue;
        }
        const auto packet = stream.begin() + static_cast<std::ptrdiff_t>(at);
        result.stream.insert(result.stream.end(), packet, packet + kTsPacketSize);
        if (draw < corrupt) {
            const std::size_t where = result.stream.size() - kTsPacketSize + 4 +
                                      static_cast<std::size_t>(random.Next() % (kTsPacketSize - 4));
            result.stream[where] ^= static_cast<uint8_t>(1 + random.Next() % 255);
            ++result.corruptedPackets;
        }
    }
    return result;
}

MuxResult BuildStream(const MuxOptions& options) {
    return GenerateStream(LoadContent(options), options);
}

}  // namespace krtools
