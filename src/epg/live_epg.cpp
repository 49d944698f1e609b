#include "epg/live_epg.h"

#include <cstring>

#include "core/host.h"
#include "core/log.h"
#include "core/platform.h"
#include "epg/epg_database.h"
#include "epg/text_syntax.h"

namespace kr {
namespace {

uint8_t Low8(uint32_t v) {
    return static_cast<uint8_t>(v & 0xFF);
}
uint16_t Low16(uint32_t v) {
    return static_cast<uint16_t>(v & 0xFFFF);
}

// Value of the decimal digits at s, ending at the first non-digit.
uint32_t Digits(const char* s) {
    uint32_t value = 0;
    while (*s >= '0' && *s <= '9')
        value = value * 10u + static_cast<uint32_t>(*s++ - '0');
    return value;
}

const char* SkipBlanks(const char* s) {
    while (*s == ' ' || *s == '\t')
        ++s;
    return s;
}

// The key/value lines of PID and AVS blocks.
struct PidBlockReader {
    StreamInfo* stream;
    int pidKeys = 0;  // PID keys seen in this block

    enum class Line { Other, Pid, PidType };

    // Applies one line; tells what kind of line it was. *index = the PID index concerned.
    Line Apply(const char* line, int* index) {
        char key[kCompactLineSize];
        char value[kCompactLineSize];
        value[0] = '\0';
        *index = pidKeys - 1;
        if (kr_SplitKeyValue(line, key, sizeof key, value, sizeof value) < 0) return Line::Other;
        MediaPidView& view = stream->media.pid;
        if (std::strcmp(key, "PIDCOUNT") == 0) {
            view.pidCount = Low8(kr_DecimalValue(value));
            return Line::Other;
        }
        if (StartsWith(key, "PID") && std::strlen(key) <= 4) {
            *index = pidKeys++;
            if (*index < 5) {
                view.pids[*index] = Low16(kr_DecimalValue(value));
                kr_Print(0x54, "Parsed ProgramID %d:      pid%02d: 0x%04x",
                         static_cast<int>(stream->programId), *index, view.pids[*index]);
            }
            return Line::Pid;
        }
        if (StartsWith(key, "PIDTYPE")) {
            if (*index >= 0 && *index < 5) view.pidTypes[*index] = Low8(kr_DecimalValue(value));
            return Line::PidType;
        }
        return Line::Other;
    }
};

void FinishServiceLink(const ProgramInfo& program, const StreamInfo& stream) {
    EpgDatabase& db = Epg();
    // The table holds 32 links; further link sections are dropped.
    if (db.stagedLinkCount >= kMaxLinks) return;
    ServiceLink& link = db.stagedLinks[db.stagedLinkCount];
    link.frequency = stream.frequency;
    CopyText(link.internetLink, sizeof link.internetLink, program.internetLink);
    CopyText(link.epgInfoFile, sizeof link.epgInfoFile, program.epgInfoFile);
    ++db.stagedLinkCount;
}

ServiceLink* LinkUnderConstruction() {
    EpgDatabase& db = Epg();
    return db.stagedLinkCount < kMaxLinks ? &db.stagedLinks[db.stagedLinkCount] : nullptr;
}

void OpenSection(ProgramInfo& program, StreamInfo& stream) {
    std::memset(&program, 0, sizeof program);
    std::memset(&stream, 0, sizeof stream);
    // The link entry is cleared too, so that a link section without Onid, Tsid or Svid never
    // carries the numbers of an earlier section or an earlier file.
    if (ServiceLink* link = LinkUnderConstruction()) std::memset(link, 0, sizeof *link);
}

}  // namespace

void kr_ParseChannel(const char* text, uint32_t* address, uint16_t* port) {
    uint32_t a = 0;
    uint16_t p = 0;
    if (text != nullptr) {
        std::size_t pos = 0;
        const char* portText = nullptr;
        for (int octet = 0; octet < 4; ++octet) {
            char digits[5] = {};
            int n = 0;
            while (n < 4 && text[pos] != '\0' && text[pos] != '.' && text[pos] != ':') {
                digits[n++] = text[pos++];
            }
            // After a fourth character the octet ends without consuming a separator.
            if (n < 4 && text[pos] == '.') {
                ++pos;
            } else if (n < 4 && text[pos] == ':') {
                ++pos;
                portText = text + pos;
            }
            a = (a << 8) | Low8(kr_DecimalValue(digits));
        }
        if (portText != nullptr) {
            char digits[9] = {};
            for (int i = 0; i < 8 && portText[i] != '\0'; ++i)
                digits[i] = portText[i];
            p = Low16(kr_DecimalValue(digits));
        }
    }
    if (address != nullptr) *address = a;
    if (port != nullptr) *port = p;
}

int32_t kr_ParseProgramKey(const char* line, ProgramInfo* program, StreamInfo* stream,
                           ServiceLink* link) {
    if (line == nullptr || program == nullptr || stream == nullptr) return -1;
    char key[kCompactLineSize];
    char value[kCompactLineSize];
    value[0] = '\0';  // a known key without '=' takes the empty value
    if (kr_SplitKeyValue(line, key, sizeof key, value, sizeof value) < 0) return -1;

    if (std::strcmp(key, "ProgramID") == 0) {
        program->programId = kr_DecimalValue(value);
        stream->programId = program->programId;
    } else if (std::strcmp(key, "ProgramName") == 0) {
        CopyText(program->name, sizeof program->name, value);
    } else if (std::strcmp(key, "Pid") == 0) {
        stream->pid = Low16(kr_DecimalValue(value));
    } else if (std::strcmp(key, "ProgramSort") == 0) {
        stream->sort = Low8(kr_DecimalValue(value));
        program->sort = stream->sort;
    } else if (std::strcmp(key, "Freq") == 0) {
        stream->frequency = kr_DecimalValue(value) * 1000u;
        const KrGetCurrentFrequencyFn current = Host().GetCurrentFrequency;
        if (stream->frequency == 0 && current != nullptr) current(&stream->frequency);
        program->frequency = stream->frequency;
    } else if (std::strcmp(key, "Channel") == 0) {
        const std::size_t n = std::strlen(value);
        if (n >= 11 && n <= 29) {
            kr_ParseChannel(value, &stream->address, &stream->port);
            kr_Print(0x54, "program channel : %s", value);
        }
    } else if (std::strcmp(key, "CA") == 0) {
        program->ca = Low8(kr_DecimalValue(value));
        stream->ca = program->ca;
    } else if (std::strcmp(key, "Abstract") == 0) {
        CopyText(program->abstract, sizeof program->abstract, value);
    } else if (std::strcmp(key, "Spid") == 0) {
        stream->spid = Low16(kr_DecimalValue(value));
    } else if (std::strcmp(key, "InternetLink") == 0) {
        CopyText(program->internetLink, sizeof program->internetLink, value);
    } else if (std::strcmp(key, "EpgInfoFile") == 0) {
        CopyText(program->epgInfoFile, sizeof program->epgInfoFile, value);
    } else if (std::strcmp(key, "Onid") == 0) {
        if (link != nullptr) link->onid = Low16(kr_DecimalValue(value));
    } else if (std::strcmp(key, "Tsid") == 0) {
        if (link != nullptr) link->tsid = Low16(kr_DecimalValue(value));
    } else if (std::strcmp(key, "Svid") == 0) {
        if (link != nullptr) link->svid = Low16(kr_DecimalValue(value));
    } else {
        return -1;
    }
    return 1;
}

void kr_ParseSdpBlock(const uint8_t* data, uint32_t* pos, uint32_t length, StreamInfo* stream) {
    char line[kLongLineSize];
    MediaSdpView& sdp = stream->media.sdp;
    bool videoRtpmapExpected = false;
    bool videoFmtpExpected = false;
    while (kr_ReadCompactLine(data, pos, length, line, sizeof line) > 0) {
        const std::size_t n = std::strlen(line);
        if (StartsWith(line, "m=video")) {
            sdp.videoPort = Low16(Digits(line + 7));
            videoRtpmapExpected = true;
            videoFmtpExpected = true;
        } else if (StartsWith(line, "a=rtpmap")) {
            // "a=rtpmap:96" precedes the codec name.
            const char* s = SkipBlanks(line + (n < 11 ? n : 11));
            const char* slash = std::strchr(s, '/');
            const std::size_t nameLength =
                slash != nullptr ? static_cast<std::size_t>(slash - s) : std::strlen(s);
            const uint32_t clock = slash != nullptr ? Digits(slash + 1) : 0;
            char* codec = videoRtpmapExpected ? sdp.videoCodec : sdp.audioCodec;
            const std::size_t keep = nameLength < 19 ? nameLength : 19;
            std::memset(codec, 0, 20);
            std::memcpy(codec, s, keep);
            if (videoRtpmapExpected) {
                sdp.videoClock = clock;
                videoRtpmapExpected = false;
            } else {
                sdp.audioClock = clock;
            }
        } else if (StartsWith(line, "a=fmtp")) {
            // Searched from the character right after "a=fmtp".
            const char* config = n > 6 ? std::strstr(line + 6, "config") : nullptr;
            if (config == nullptr) continue;
            const std::size_t rest = std::strlen(config);
            const char* s = SkipBlanks(config + (rest < 7 ? rest : 7));
            if (videoFmtpExpected) {
                const char* end = std::strchr(s, ';');
                const std::size_t digits =
                    end != nullptr ? static_cast<std::size_t>(end - s) : std::strlen(s);
                uint16_t written = 0;
                kr_HexToBytes(s, static_cast<uint16_t>(digits), sdp.videoConfig,
                              sizeof sdp.videoConfig, &written);
                sdp.videoConfigLength = written;
                videoFmtpExpected = false;
            } else {
                // Missing leading digits count as 0.
                uint8_t d[4] = {};
                for (int i = 0; i < 4 && s[i] >= '0' && s[i] <= '9'; ++i) {
                    d[i] = static_cast<uint8_t>(s[i] - '0');
                }
                sdp.audioConfig[0] = static_cast<uint8_t>(d[0] * 16 + d[1]);
                sdp.audioConfig[1] = static_cast<uint8_t>(d[2] * 16 + d[3]);
            }
        } else if (StartsWith(line, "m=audio")) {
            sdp.audioPort = Low16(Digits(line + 7));
            videoRtpmapExpected = false;
            videoFmtpExpected = false;
        } else if (std::strcmp(line, "#ENDSDP") == 0) {
            return;
        }
    }
}

void kr_ParsePidBlock(const uint8_t* data, uint32_t* pos, uint32_t length, StreamInfo* stream) {
    char line[kCompactLineSize];
    PidBlockReader reader{stream};
    while (kr_ReadCompactLine(data, pos, length, line, sizeof line) > 0) {
        if (std::strcmp(line, "#ENDSDP") == 0) return;
        int index = 0;
        reader.Apply(line, &index);
    }
}

void kr_ParseAvsInfoBlock(const uint8_t* data, uint32_t* pos, uint32_t length, StreamInfo* stream) {
    char line[kCompactLineSize];
    PidBlockReader reader{stream};
    while (kr_ReadCompactLine(data, pos, length, line, sizeof line) > 0) {
        int index = 0;
        const PidBlockReader::Line kind = reader.Apply(line, &index);
        // No end marker: the block ends once the announced PIDs have their types, or at a sixth
        // PID.
        if (kind == PidBlockReader::Line::PidType && index + 1 >= stream->media.pid.pidCount) {
            return;
        }
        if (kind == PidBlockReader::Line::Pid && index >= 5) return;
    }
}

int32_t kr_BuildLiveEpg(const uint8_t* data, uint32_t length, LiveBuffer** built) {
    ModuleLockGuard hold;
    EpgDatabase& db = Epg();
    if (built != nullptr) *built = nullptr;
    kr_Print(0x53, "Parse live epg ...");
    if (data == nullptr || kr_FindKeyLine(data, length, "[LIVE_EPG]", 10) > length) {
        kr_Print(0x53, "Invalid live epg.");
        return -1;
    }
    uint32_t version = kNoVersion;
    const int32_t count = kr_ReadCountVersion(data, length, &version);
    if (count == -1 || count == 0) {
        kr_Print(0x53, "No program in live epg file.");
        return -1;
    }
    kr_Print(0x53, "%d program(s) in live epg.", count);
    uint32_t current = 0;
    if (CurrentLiveVersion(&current) && current == version) {
        kr_Print(0x53, "Received live EPG.");
        return kLiveSameVersion;
    }
    LiveBuffer* buffer = nullptr;
    if (kr_TakeLiveBuffer(&buffer) != 0) {
        kr_Print(0x52, "No unlock stream EPG.");
        return -1;
    }
    LiveEpg& epg = buffer->epg;
    buffer->version = version;
    epg.version = version;
    epg.eventEpg = nullptr;
    db.stagedLinkCount = 0;

    char line[kCompactLineSize];
    int slot = -1;
    uint32_t pos = 0;
    while (pos < length) {
        if (kr_ReadCompactLine(data, &pos, length, line, sizeof line) < 0) break;
        if (kr_IsProgramHeader(line)) {
            if (slot >= 0 && epg.stream[slot].sort == 8) {
                FinishServiceLink(epg.program[slot], epg.stream[slot]);
            } else if (slot + 1 == kMaxPrograms) {
                break;  // programs beyond the 32nd are dropped
            } else {
                ++slot;
            }
            OpenSection(epg.program[slot], epg.stream[slot]);
            continue;
        }
        if (slot < 0) continue;  // lines before the first section belong to no program
        StreamInfo& stream = epg.stream[slot];
        if (std::strcmp(line, "#STARTSDP") == 0) {
            if (stream.sort == 4) {
                kr_ParseSdpBlock(data, &pos, length, &stream);
            } else if (stream.sort == 7 || stream.sort == 8) {
                kr_ParsePidBlock(data, &pos, length, &stream);
            }
        } else if (std::strcmp(line, "[AVSINFO]") == 0 && stream.sort == 7) {
            kr_ParseAvsInfoBlock(data, &pos, length, &stream);
        } else {
            kr_ParseProgramKey(line, &epg.program[slot], &stream, LinkUnderConstruction());
        }
    }
    int programCount = slot + 1;
    if (slot >= 0 && epg.stream[slot].sort == 8) {
        FinishServiceLink(epg.program[slot], epg.stream[slot]);
        --programCount;
    }
    epg.programCount = programCount;
    epg.programs = epg.program;
    for (int i = 0; i < programCount; ++i)
        epg.program[i].media = &epg.stream[i].media;
    if (built != nullptr) *built = buffer;
    return 0;
}

int32_t kr_ParseLiveEpg(const uint8_t* data, uint32_t length) {
    LiveBuffer* built = nullptr;
    const int32_t result = kr_BuildLiveEpg(data, length, &built);
    if (result == 0) PublishLive(built, LiveSource::File);
    return result;
}

}  // namespace kr
