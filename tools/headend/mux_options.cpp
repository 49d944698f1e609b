#include "headend/mux_options.h"

#include "common/epg_announcements.h"
#include "common/file_io.h"
#include "common/settings.h"
#include "headend/sysinfo_payload.h"

namespace krtools {

const char* const kMuxUsage =
    "usage: krmux [--scenario DIR] [OPTION VALUE]... --out FILE|-|udp://ADDR:PORT\n"
    "Writes an MPEG-2 transport stream (188-byte packets) that carries system information,\n"
    "the EPG container, live programs and resource files as datagram sections, timed by a\n"
    "programme clock (PCR) on the PID the program map names.\n"
    "\n"
    "  --scenario DIR        read DIR/scenario.txt (the same keys as below, KEY = VALUE);\n"
    "                        options given after it override it, programs and resources add\n"
    "  --out FILE            output file, - for standard output, or udp://ADDR:PORT to send\n"
    "                        the stream live, paced by its clock, 7 packets to a datagram\n"
    "  --epg DIR             EPG directory: LiveEPG.txt, FileEPG.txt, ProgramEPG.txt, ico/\n"
    "  --epg-version STAMP   announced EPG version YYYYMMDDhhmmss (default: the live EPG's)\n"
    "  --message TEXT        message for the screen, at most 1023 bytes\n"
    "  --sysinfo-ms N        system information every N ms (default 500)\n"
    "  --epg-pid N           PID of the EPG carousel (default 0x1FF0)\n"
    "  --epg-channel A:P     its multicast address and UDP port (default 239.81.90.2:8191)\n"
    "  --program ID,video=FILE,audio=FILE\n"
    "                        a live program of the live EPG from an MPEG-4 Part 2 video\n"
    "                        elementary stream and/or AAC ADTS audio\n"
    "  --resource ID,FILE    a resource of the file EPG carouselled from FILE\n"
    "  --live-start-ms N     live programs begin at N ms (default 2000)\n"
    "  --loops N             times each live clip is played, at most 100 (default 1)\n"
    "  --duration-ms N       length of the stream, at most 600000 (default: every clip\n"
    "                        played and every carousel turned twice)\n"
    "  --frame-rate N        video frames per second (default 25)\n"
    "  --epg-rate N          EPG blocks per second (default 100)\n"
    "  --resource-rate N     blocks per second of each resource (default 50)\n"
    "  --psi yes|no          program association and map tables (default yes); --no-psi\n"
    "  --drop SHARE          leave out this share (0..1) of the transport packets\n"
    "  --corrupt SHARE       change one byte in this share (0..1) of the transport packets\n"
    "  --seed N              seed of --drop and --corrupt (default 1)\n"
    "Conditional access, sent when both --ca-card and --emm-pid are given:\n"
    "  --ca-card PROFILE     card profile: its operator key and card id\n"
    "  --emm-pid N           the CA PID, announced in the CA table on PID 1\n"
    "  --ca-system-id N      CA system id (default 0x4B52)\n"
    "  --crypto-period-ms N  control words change every N ms (default 10000)\n"
    "  --scrambled ID,...    programs and resources to scramble\n"
    "  --ecm-pid-base N      ECM PIDs counted up from N (default 0x1F00)\n"
    "  --mail ID,TITLE,CONTENT  a mail for the card (repeatable)\n"
    "  --ca-text TEXT        a text for every card\n"
    "  --redirect A,B,C      a redirection for every card\n"
    "  --card-command rating=N  a card command setting the card's rating\n"
    "  --pcap FILE           also write the first clear live program's RTP datagrams to FILE\n"
    "                        as a packet capture (pcap, Ethernet), for packet tools\n"
    "  --help                this text\n"
    "  --version             krmux's version\n"
    "\n"
    "Examples:\n"
    "  krmux --scenario samples/scenario --out sample.ts\n"
    "  krmux --epg samples/epg --program 1001,video=samples/media/clip.m4v --out news.ts\n"
    "  krmux --scenario samples/scenario --drop 0.01 --seed 3 --out lossy.ts\n"
    "\n"
    "Exit status:\n"
    "  0    the stream was written or sent (also when the reader of standard output\n"
    "       went away)\n"
    "  1    the stream could not be written or sent; the reason is the last line\n"
    "  2    bad arguments, or a scenario, EPG or media file that cannot be read\n"
    "  130  interrupted (Ctrl-C); what was sent so far stays sent\n";

namespace {

double ParseShare(const std::string& key, const std::string& text) {
    double value = -1;
    try {
        std::size_t used = 0;
        value = std::stod(text, &used);
        if (used != text.size()) value = -1;
    } catch (const std::exception&) {
        value = -1;
    }
    if (!(value >= 0.0 && value <= 1.0))
        throw ToolError("bad value for " + key + ": '" + text + "' (a share from 0 to 1)");
    return value;
}

// Splits at blanks and commas.
std::vector<std::string> Words(const std::string& text) {
    std::vector<std::string> words;
    std::string word;
    for (char c : text + ",") {
        if (c == ' ' || c == ',' || c == '\t') {
            if (!word.empty()) words.push_back(word);
            word.clear();
        } else {
            word.push_back(c);
        }
    }
    return words;
}

std::filesystem::path Resolve(const std::filesystem::path& base, const std::string& path) {
    const std::filesystem::path p(path);
    return p.is_absolute() || base.empty() ? p : base / p;
}

// Splits at commas only, trimming blanks: titles and texts keep their spaces.
std::vector<std::string> Fields(const std::string& text) {
    std::vector<std::string> fields;
    std::size_t at = 0;
    for (;;) {
        const std::size_t comma = text.find(',', at);
        std::string field = text.substr(at, comma == std::string::npos ? comma : comma - at);
        const auto begin = field.find_first_not_of(" \t");
        const auto end = field.find_last_not_of(" \t");
        fields.push_back(begin == std::string::npos ? "" : field.substr(begin, end - begin + 1));
        if (comma == std::string::npos) return fields;
        at = comma + 1;
    }
}

bool ApplyCa(CaOptions& ca, const std::string& key, const std::string& value,
             const std::filesystem::path& base) {
    const std::string name = "'" + key + "'";
    if (key == "ca-card") {
        ca.card = Resolve(base, value);
    } else if (key == "emm-pid") {
        ca.emmPid = static_cast<uint16_t>(NumberSetting(key, value, 0x1FFE));
    } else if (key == "ca-system-id") {
        ca.systemId = static_cast<uint16_t>(NumberSetting(key, value, 0xFFFF));
    } else if (key == "crypto-period-ms") {
        ca.cryptoPeriodMs = static_cast<uint32_t>(NumberSetting(key, value, 3600000));
        if (ca.cryptoPeriodMs < 4) throw ToolError("bad value for " + name + ": below 4 ms");
    } else if (key == "scrambled") {
        for (const std::string& word : Words(value))
            ca.scrambled.push_back(static_cast<uint32_t>(NumberSetting(key, word, 0xFFFF)));
    } else if (key == "ecm-pid-base") {
        ca.ecmPidBase = static_cast<uint16_t>(NumberSetting(key, value, 0x1FFE));
    } else if (key == "mail") {
        const auto fields = Fields(value);
        if (fields.size() < 3)
            throw ToolError("bad value for " + name + ": '" + value + "' (ID,TITLE,CONTENT)");
        // The content may hold commas of its own.
        std::string content = fields[2];
        for (std::size_t i = 3; i < fields.size(); ++i)
            content += ", " + fields[i];
        if (fields[1].size() > 255 || content.size() > 255)
            throw ToolError("bad value for " + name + ": title and content take 255 bytes each");
        ca.mails.push_back(
            {static_cast<uint32_t>(NumberSetting(key, fields[0], 0xFFFFFFFF)), fields[1], content});
    } else if (key == "ca-text") {
        if (value.size() > 255) throw ToolError("the CA text is longer than 255 bytes");
        ca.text = value;
    } else if (key == "redirect") {
        const auto words = Words(value);
        if (words.size() != 3)
            throw ToolError("bad value for " + name + ": '" + value + "' (A,B,C)");
        for (std::size_t i = 0; i < 3; ++i)
            ca.redirection[i] = static_cast<uint16_t>(NumberSetting(key, words[i], 0xFFFF));
        ca.redirect = true;
    } else if (key == "card-command") {
        if (value.rfind("rating=", 0) != 0)
            throw ToolError("bad value for " + name + ": '" + value + "' (rating=N)");
        ca.commandRating = static_cast<uint8_t>(NumberSetting(key, value.substr(7), 18));
    } else {
        return false;
    }
    return true;
}

// One setting, from a scenario line or a command-line option. Paths are taken relative to base.
void Apply(MuxOptions& o, const std::string& key, const std::string& value,
           const std::filesystem::path& base) {
    const std::string name = "'" + key + "'";
    if (key == "epg") {
        o.epgDirectory = Resolve(base, value);
    } else if (key == "epg-version") {
        if (!IsVersionStamp(value))
            throw ToolError("bad value for " + name + ": '" + value +
                            "' (14 digits YYYYMMDDhhmmss)");
        o.version = value;
    } else if (key == "message") {
        if (value.size() > 1023) throw ToolError("the message is longer than 1023 bytes");
        o.message = value;
    } else if (key == "sysinfo-ms") {
        o.sysinfoIntervalMs = static_cast<uint32_t>(NumberSetting(key, value, 60000));
        if (o.sysinfoIntervalMs == 0) throw ToolError("bad value for " + name + ": 0");
    } else if (key == "epg-pid") {
        o.epgPid = static_cast<uint16_t>(NumberSetting(key, value, 0x1FFE));
    } else if (key == "epg-channel") {
        if (!ParseChannel(value, o.epgAddress, o.epgPort))
            throw ToolError("bad value for " + name + ": '" + value + "' (address:port)");
    } else if (key == "program") {
        const auto words = Words(value);
        if (words.empty()) throw ToolError("bad value for " + name + ": empty");
        LiveProgramSource program;
        program.programId = static_cast<uint32_t>(NumberSetting(key, words[0], 0xFFFFFFFF));
        for (std::size_t i = 1; i < words.size(); ++i) {
            if (words[i].rfind("video=", 0) == 0) {
                program.video = Resolve(base, words[i].substr(6));
            } else if (words[i].rfind("audio=", 0) == 0) {
                program.audio = Resolve(base, words[i].substr(6));
            } else {
                throw ToolError("bad value for " + name + ": '" + words[i] +
                                "' (video=FILE or audio=FILE)");
            }
        }
        if (program.programId == 0 || (program.video.empty() && program.audio.empty()))
            throw ToolError("bad value for " + name + ": '" + value +
                            "' (ID,video=FILE,audio=FILE with a non-zero ID)");
        for (const LiveProgramSource& p : o.programs)
            if (p.programId == program.programId)
                throw ToolError("program " + std::to_string(program.programId) +
                                " is given twice");
        o.programs.push_back(program);
    } else if (key == "resource") {
        const auto words = Words(value);
        if (words.size() != 2)
            throw ToolError("bad value for " + name + ": '" + value + "' (ID,FILE)");
        const auto id = static_cast<uint32_t>(NumberSetting(key, words[0], 0xFFFFFFFF));
        for (const ResourceSource& r : o.resources)
            if (r.resourceId == id)
                throw ToolError("resource " + std::to_string(id) + " is given twice");
        o.resources.push_back({id, Resolve(base, words[1])});
    } else if (key == "live-start-ms") {
        o.liveStartMs = static_cast<uint32_t>(NumberSetting(key, value, 600000));
    } else if (key == "loops") {
        o.loops = static_cast<uint32_t>(NumberSetting(key, value, 100));
    } else if (key == "duration-ms") {
        o.durationMs = static_cast<uint32_t>(NumberSetting(key, value, 600000));
    } else if (key == "frame-rate") {
        o.frameRate = static_cast<uint32_t>(NumberSetting(key, value, 240));
        if (o.frameRate == 0) throw ToolError("bad value for " + name + ": 0");
    } else if (key == "epg-rate") {
        o.epgBlocksPerSecond = static_cast<uint32_t>(NumberSetting(key, value, 100000));
        if (o.epgBlocksPerSecond == 0) throw ToolError("bad value for " + name + ": 0");
    } else if (key == "resource-rate") {
        o.resourceBlocksPerSecond = static_cast<uint32_t>(NumberSetting(key, value, 100000));
        if (o.resourceBlocksPerSecond == 0) throw ToolError("bad value for " + name + ": 0");
    } else if (key == "psi") {
        if (value != "yes" && value != "no")
            throw ToolError("bad value for " + name + ": '" + value + "' (yes or no)");
        o.psi = value == "yes";
    } else if (key == "drop") {
        o.dropShare = ParseShare(name, value);
    } else if (key == "corrupt") {
        o.corruptShare = ParseShare(name, value);
    } else if (key == "seed") {
        o.seed = NumberSetting(key, value, UINT64_MAX);
    } else if (!ApplyCa(o.ca, key, value, base)) {
        throw ToolError("unknown setting " + name);
    }
}

void ReadScenarioInto(MuxOptions& options, const std::filesystem::path& directory) {
    const auto path = directory / "scenario.txt";
    const std::vector<uint8_t> bytes = ReadWholeFile(path);
    ReadSettings(std::string_view(reinterpret_cast<const char*>(bytes.data()), bytes.size()),
                 path.string(),
                 [&](const std::string& key, const std::string& value) {
                     Apply(options, key, value, directory);
                 },
                 RepeatedKeys::kAllowed);
}

// Half of the conditional-access settings would send no CA at all, silently.
void CheckCa(const CaOptions& ca) {
    const bool content = !ca.scrambled.empty() || !ca.mails.empty() || !ca.text.empty() ||
                         ca.redirect || ca.commandRating.has_value();
    if (!ca.card.empty() && ca.emmPid == 0)
        throw ToolError("--ca-card needs --emm-pid: the CA PID the EMMs and ECMs go on");
    if (ca.card.empty() && ca.emmPid != 0)
        throw ToolError("--emm-pid needs --ca-card: the card profile whose keys the CA uses");
    if (content && !ca.Enabled())
        throw ToolError("scrambled services, mails, texts, redirections and card commands need "
                        "--ca-card and --emm-pid");
}

// Every option that takes a value, for telling an unknown option from a missing value.
bool KnownKey(const std::string& key) {
    static const char* const kKeys[] = {
        "scenario", "out", "epg", "epg-version", "message", "sysinfo-ms", "epg-pid",
        "epg-channel", "program", "resource", "live-start-ms", "loops", "duration-ms",
        "frame-rate", "epg-rate", "resource-rate", "psi", "drop", "corrupt", "seed", "ca-card",
        "emm-pid", "ca-system-id", "crypto-period-ms", "scrambled", "ecm-pid-base", "mail",
        "ca-text", "redirect", "card-command", "pcap"};
    for (const char* k : kKeys)
        if (key == k) return true;
    return false;
}

}  // namespace

MuxOptions ReadScenario(const std::filesystem::path& directory) {
    MuxOptions options;
    ReadScenarioInto(options, directory);
    CheckCa(options.ca);
    return options;
}

MuxCommand ParseMuxArguments(const std::vector<std::string>& arguments) {
    MuxCommand command;
    for (std::size_t i = 0; i < arguments.size(); ++i) {
        const std::string& argument = arguments[i];
        if (argument == "--help" || argument == "-h") {
            command.help = true;
            return command;
        }
        if (argument == "--version") {
            command.version = true;
            return command;
        }
        if (argument == "--no-psi") {
            command.options.psi = false;
            continue;
        }
        if (argument.rfind("--", 0) != 0 || argument.size() == 2)
            throw ToolError("unexpected argument '" + argument + "'");
        const std::string key = argument.substr(2);
        if (!KnownKey(key)) throw ToolError("unknown option '" + argument + "'");
        if (i + 1 == arguments.size()) throw ToolError(argument + " needs a value");
        const std::string& value = arguments[++i];
        if (key == "scenario") {
            ReadScenarioInto(command.options, value);
        } else if (key == "out") {
            if (value.rfind("udp://", 0) == 0) {
                uint32_t address = 0;
                uint16_t port = 0;
                if (!ParseChannel(value.substr(6), address, port) || port == 0)
                    throw ToolError("bad value for 'out': '" + value + "' (udp://ADDR:PORT)");
            }
            command.output = value;
        } else if (key == "pcap") {
            command.pcap = value;
        } else {
            Apply(command.options, key, value, {});
        }
    }
    if (command.output.empty())
        throw ToolError("no output: give --out FILE (- for standard output)");
    if (command.options.epgDirectory.empty())
        throw ToolError("no EPG directory: give --epg DIR or a scenario with 'epg'");
    CheckCa(command.options.ca);
    return command;
}

}  // namespace krtools
