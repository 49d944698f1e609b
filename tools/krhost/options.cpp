#include "options.h"

#include <charconv>
#include <cmath>
#include <cstdlib>
#include <map>

#include "common/file_io.h"

namespace krhost {

const char* const kHostUsage =
    "usage: krhost COMMAND [OPTION VALUE]...\n"
    "The reference terminal of krmodule: it links the library, demultiplexes a transport\n"
    "stream in software, applies the library's section filters as a hardware filter would\n"
    "and hands every matching section to the library.\n"
    "\n"
    "Commands:\n"
    "  play --program ID --out FILE [--mode N] [--audio-out FILE] [--frames N]\n"
    "        start the live program ID once the live EPG announcing it has arrived and\n"
    "        write what the library delivers: with mode 0 (default) whole video frames to\n"
    "        FILE and audio frames to FILE.audio (or --audio-out); modes 1..5 write the raw\n"
    "        part of each datagram (1, 2, 5: UDP payload; 3: UDP header and payload;\n"
    "        4: the IPv4 datagram) to FILE. Stops at the end of the input or after N video\n"
    "        frames (raw: N deliveries). A scrambled program (1002 in the sample) plays\n"
    "        with the control words the card in the slot gives the library.\n"
    "  download --resource ID [--resource ID]... --out DIR\n"
    "        download resources of the download EPG into DIR, each under the name the EPG\n"
    "        gives it; a progress bar shows blocks received of total on a terminal. Fails\n"
    "        naming the missing blocks when the input ends before a file is complete.\n"
    "  epg [--until-end]\n"
    "        print the live EPG (programs, streams, icons, schedules, service links) and the\n"
    "        download EPG (resources and their category tree) as tables, or as JSON, once the\n"
    "        broadcast has delivered them (with --until-end: as they are when the input ends).\n"
    "  guide --out DIR [--until-end]\n"
    "        write the EPG as a programme guide for a browser to DIR/index.html: the live\n"
    "        programs with their icons, channel, frequency, scrambled or clear, now and next\n"
    "        and a seven-day schedule, the service links and the download EPG's category\n"
    "        tree. One self-contained file: the icons are inline and it loads nothing else.\n"
    "  card [--pin PIN] [--set-rating N] [--set-worktime HH:MM-HH:MM|none]\n"
    "        start the library with the card in the slot and print what it reads from the\n"
    "        card: id, operator, manufacturer, card OS version, parental rating and viewing\n"
    "        period. --pin checks the PIN and shows the tries left when it is wrong;\n"
    "        --set-rating (4..18) and --set-worktime change the card's settings and need\n"
    "        --pin; without --card-state the change lasts only as long as the run.\n"
    "  card --readers\n"
    "        list the PC/SC card readers and whether a card is in each.\n"
    "  mail list|read ID|read-all|delete ID|delete-all\n"
    "        the operator's mails kept on the card: list shows id, read or unread and title\n"
    "        of each in the order they came; read prints a mail's content and marks it read;\n"
    "        delete removes one or all. With --input the input is run to its end first, so\n"
    "        the mails it carries reach the card (the sample sends mails 1 and 2). Without\n"
    "        --card-state the card forgets at exit what the run changed.\n"
    "  demo [--samples DIR] [--out DIR]\n"
    "        build the sample head-end scenario (samples/scenario) in memory, run it through\n"
    "        the library, print the EPG, play program 1001 and the scrambled program 1002,\n"
    "        download resources 2012, 2007 and the scrambled 2003 and list the mails the\n"
    "        operator sent to the card, into DIR (default: a new temporary directory); the\n"
    "        programme guide goes to DIR/guide/index.html.\n"
    "\n"
    "Input and terminal options (play, download, epg and guide need --input):\n"
    "  --input SRC      a transport-stream file, - for standard input, or udp://ADDR:PORT\n"
    "                   (a UDP socket carrying TS packets; a multicast ADDR is joined)\n"
    "                   A file and standard input are read in step with the library: as\n"
    "                   fast as it handles what it is given, never faster, so what a run\n"
    "                   delivers does not depend on the machine's speed or load.\n"
    "  --realtime       also pace a file by the clock (PCR) it carries, as a tuner\n"
    "                   delivers the broadcast\n"
    "  --rate MBIT      also pace a file at MBIT Mbit/s, for streams without a clock\n"
    "                   (default 0: no pacing)\n"
    "  --store FILE     the persistent store, 131072 bytes, replaced atomically on every\n"
    "                   write (default krhost.store in the working directory; demo: in DIR)\n"
    "  --debug CODE     library diagnostics to standard error: CODE is module * 16 + level\n"
    "                   (0x00: everything; 0x23: module 2 up to level 3); may be repeated\n"
    "  --nodes N        section buffers of the library (default 1024)\n"
    "  --frequency KHZ  the frequency the terminal reports as tuned (default 626000)\n"
    "  --timeout SEC    stop after SEC seconds (for udp:// input, which has no end)\n"
    "  --card PROFILE   the virtual subscriber card in the terminal's slot, described by a\n"
    "                   card profile (default: the sample card, samples/card/card.txt;\n"
    "                   none: an empty slot)\n"
    "  --card pcsc[:READER]\n"
    "                   a real card in a PC/SC reader (pcscd): the reader of that name, or\n"
    "                   whose name alone holds READER; without it the first reader with a\n"
    "                   card. Insertions and removals reach the library as they happen.\n"
#if KRHOST_PCSC
    "                   PC/SC is built into this krhost.\n"
#else
    "                   PC/SC is not built into this krhost (libpcsclite-dev was not\n"
    "                   found when it was configured).\n"
#endif
    "  --card-state FILE\n"
    "                   the virtual card's memory (mails, rating, viewing period,\n"
    "                   entitlements, PIN and its tries): read at start when FILE exists,\n"
    "                   written after every change, so the card keeps between runs what\n"
    "                   it was given\n"
    "  --emm-pid PID    the CA PID of the multiplex (EMMs, broadcast data, service map),\n"
    "                   given to the library with krca_T2CA_SetEmmPids; by default it\n"
    "                   comes from the multiplex's CA table\n"
    "  --json           events as JSON objects on standard output, one to a line, and the\n"
    "                   command's result as the last line (docs/json.md)\n"
    "  --stats          at the end (play, download, epg, mail), the library's counters of\n"
    "                   what it took and what it dropped, by cause (with --json: the\n"
    "                   result's \"stats\" member)\n"
    "  --help           this text\n"
    "  --version        krhost's version and the library's\n"
    "\n"
    "Examples:\n"
    "  krmux --scenario samples/scenario --out sample.ts\n"
    "  krhost epg --input sample.ts\n"
    "  krhost play --input sample.ts --program 1001 --out news.m4v\n"
    "  krhost play --input sample.ts --program 1002 --out sports.m4v\n"
    "  krhost download --input sample.ts --resource 2007 --out downloads\n"
    "  krhost guide --input sample.ts --out guide\n"
    "  krhost card --pin 1234 --set-rating 12 --card-state card.state\n"
    "  krhost mail list --input sample.ts --card-state card.state\n"
    "  krhost mail read 1 --card-state card.state\n"
    "  krmux --scenario samples/scenario --out - | krhost epg --json --input -\n"
    "\n"
    "Exit status:\n"
    "  0    done, and something delivered\n"
    "  1    ran, but could not deliver (a program or resource not announced, nothing\n"
    "       played, blocks missing, an output not writable, no usable card, an unknown\n"
    "       mail); the reason is the last line on standard error\n"
    "  2    bad arguments, or input that cannot be read or is not a transport stream\n"
    "  130  interrupted (Ctrl-C), after a clean stop\n";

const char* CommandName(Command command) {
    switch (command) {
        case Command::Play:
            return "play";
        case Command::Download:
            return "download";
        case Command::Epg:
            return "epg";
        case Command::Guide:
            return "guide";
        case Command::Demo:
            return "demo";
        case Command::Card:
            return "card";
        case Command::Mail:
            return "mail";
        case Command::Help:
            return "help";
        case Command::Version:
            return "version";
    }
    return "";
}

namespace {

using krtools::ToolError;

uint64_t ParseNumber(const std::string& name, const std::string& text, uint64_t max) {
    uint64_t value = 0;
    const char* first = text.data();
    const char* last = text.data() + text.size();
    int base = 10;
    if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
        first += 2;
        base = 16;
    }
    const auto [end, error] = std::from_chars(first, last, value, base);
    if (text.empty() || error != std::errc{} || end != last || value > max)
        throw ToolError("bad value for '" + name + "': '" + text + "'");
    return value;
}

double ParseReal(const std::string& name, const std::string& text, double max) {
    char* end = nullptr;
    const double value = std::strtod(text.c_str(), &end);
    if (text.empty() || end != text.c_str() + text.size() || !std::isfinite(value) || value < 0 ||
        value > max)
        throw ToolError("bad value for '" + name + "': '" + text + "'");
    return value;
}

// "HH:MM-HH:MM" or "none" (no restriction: 00:00 to 00:00) as BCD.
std::array<uint8_t, 4> ParseWorkTime(const std::string& text) {
    if (text == "none") return {};
    std::array<uint8_t, 4> bcd{};
    const auto digit = [&](std::size_t i) { return static_cast<uint8_t>(text[i] - '0'); };
    bool good = text.size() == 11 && text[2] == ':' && text[5] == '-' && text[8] == ':';
    for (const std::size_t i : {0u, 1u, 3u, 4u, 6u, 7u, 9u, 10u})
        good = good && i < text.size() && text[i] >= '0' && text[i] <= '9';
    if (good) {
        for (std::size_t field = 0; field < 4; ++field) {
            const std::size_t at = field * 3;
            bcd[field] = static_cast<uint8_t>(digit(at) << 4 | digit(at + 1));
        }
        good = bcd[0] <= 0x23 && bcd[1] <= 0x59 && bcd[2] <= 0x23 && bcd[3] <= 0x59;
    }
    if (!good)
        throw ToolError("bad value for 'set-worktime': '" + text + "' (HH:MM-HH:MM or none)");
    return bcd;
}

const std::map<std::string, Command> kCommands = {
    {"play", Command::Play}, {"download", Command::Download}, {"epg", Command::Epg},
    {"guide", Command::Guide},
    {"demo", Command::Demo}, {"card", Command::Card},         {"mail", Command::Mail},
    {"help", Command::Help}};

// Options each command accepts beside the input and terminal options.
bool Accepts(Command command, const std::string& option) {
    static const std::map<std::string, std::vector<Command>> owners = {
        {"program", {Command::Play}},
        {"mode", {Command::Play}},
        {"audio-out", {Command::Play}},
        {"frames", {Command::Play}},
        {"resource", {Command::Download}},
        {"pin", {Command::Card}},
        {"set-rating", {Command::Card}},
        {"set-worktime", {Command::Card}},
        {"readers", {Command::Card}},
        {"until-end", {Command::Epg, Command::Guide}},
        {"stats", {Command::Play, Command::Download, Command::Epg, Command::Mail}},
        {"samples", {Command::Demo}},
        {"out", {Command::Play, Command::Download, Command::Guide, Command::Demo}},
    };
    const auto it = owners.find(option);
    if (it == owners.end()) return true;
    for (Command c : it->second)
        if (c == command) return true;
    return false;
}

const std::map<std::string, MailAction> kMailActions = {{"list", MailAction::List},
                                                        {"read", MailAction::Read},
                                                        {"read-all", MailAction::ReadAll},
                                                        {"delete", MailAction::Delete},
                                                        {"delete-all", MailAction::DeleteAll}};

bool NeedsMailId(MailAction action) {
    return action == MailAction::Read || action == MailAction::Delete;
}

// The words after "mail": the action, then the id of read and delete.
void ParseMailWord(HostOptions& o, const std::string& word) {
    if (!o.mailAction) {
        const auto it = kMailActions.find(word);
        if (it == kMailActions.end())
            throw ToolError("unknown mail action '" + word +
                            "' (list, read ID, read-all, delete ID, delete-all)");
        o.mailAction = it->second;
    } else if (NeedsMailId(*o.mailAction) && !o.mailId) {
        o.mailId = static_cast<uint32_t>(ParseNumber("mail id", word, UINT32_MAX));
    } else {
        throw ToolError("unexpected argument '" + word + "'");
    }
}

}  // namespace

HostOptions ParseHostArguments(const std::vector<std::string>& arguments) {
    HostOptions o;
    std::optional<Command> command;
    std::string commandName;
    for (std::size_t i = 0; i < arguments.size(); ++i) {
        const std::string& a = arguments[i];
        if (a == "--help" || a == "-h") {
            o.command = Command::Help;
            return o;
        }
        if (a == "--version") {
            o.command = Command::Version;
            return o;
        }
        if (a.rfind("--", 0) != 0) {
            if (command == Command::Mail) {
                ParseMailWord(o, a);
                continue;
            }
            if (command) throw ToolError("unexpected argument '" + a + "'");
            const auto it = kCommands.find(a);
            if (it == kCommands.end()) throw ToolError("unknown command '" + a + "'");
            command = it->second;
            commandName = a;
            continue;
        }
        const std::string name = a.substr(2);
        if (name == "json") {
            o.json = true;
        } else if (name == "realtime") {
            o.realtime = true;
        } else if (name == "until-end") {
            o.untilEnd = true;
        } else if (name == "readers") {
            o.listReaders = true;
        } else if (name == "stats") {
            o.stats = true;
        } else {
            static const char* const kValued[] = {
                "input",   "rate", "store",      "debug",        "nodes",  "frequency", "timeout",
                "program", "mode", "out",        "audio-out",    "frames", "resource",  "samples",
                "card",    "pin",  "set-rating", "set-worktime", "emm-pid",   "card-state"};
            bool known = false;
            for (const char* v : kValued)
                known = known || name == v;
            if (!known) throw ToolError("unknown option '" + a + "'");
            if (i + 1 >= arguments.size()) throw ToolError(a + " needs a value");
            const std::string& v = arguments[++i];
            if (name == "input") {
                o.input = v;
            } else if (name == "rate") {
                o.rateMbps = ParseReal(name, v, 10000);
            } else if (name == "store") {
                o.store = v;
            } else if (name == "debug") {
                o.debugCodes.push_back(static_cast<uint8_t>(ParseNumber(name, v, 0xFF)));
            } else if (name == "nodes") {
                o.nodes = static_cast<uint32_t>(ParseNumber(name, v, 8192));
                if (o.nodes == 0) throw ToolError("bad value for 'nodes': '0'");
            } else if (name == "frequency") {
                o.frequency = static_cast<uint32_t>(ParseNumber(name, v, UINT32_MAX));
            } else if (name == "timeout") {
                o.timeoutSeconds = ParseReal(name, v, 1e6);
            } else if (name == "program") {
                o.program = static_cast<uint32_t>(ParseNumber(name, v, UINT32_MAX));
                if (*o.program == 0) throw ToolError("bad value for 'program': '0'");
            } else if (name == "mode") {
                o.mode = static_cast<uint32_t>(ParseNumber(name, v, 5));
            } else if (name == "out") {
                o.out = v;
            } else if (name == "audio-out") {
                o.audioOut = v;
            } else if (name == "frames") {
                o.maxFrames = ParseNumber(name, v, UINT64_MAX);
            } else if (name == "resource") {
                const auto id = static_cast<uint32_t>(ParseNumber(name, v, UINT32_MAX));
                if (id == 0) throw ToolError("bad value for 'resource': '0'");
                o.resources.push_back(id);
            } else if (name == "samples") {
                o.samples = v;
            } else if (name == "card") {
                if (v.empty()) throw ToolError("bad value for 'card': ''");
                o.card = v;
            } else if (name == "card-state") {
                if (v.empty()) throw ToolError("bad value for 'card-state': ''");
                o.cardState = v;
            } else if (name == "emm-pid") {
                o.emmPid = static_cast<uint16_t>(ParseNumber(name, v, 0x1FFE));
            } else if (name == "pin") {
                if (v.empty() || v.size() > 8 || v.find_first_not_of("0123456789") != v.npos)
                    throw ToolError("bad value for 'pin': '" + v + "' (up to 8 digits)");
                o.pin = v;
            } else if (name == "set-rating") {
                const auto rating = ParseNumber(name, v, 18);
                if (rating < 4) throw ToolError("bad value for 'set-rating': '" + v + "' (4..18)");
                o.newRating = static_cast<uint8_t>(rating);
            } else if (name == "set-worktime") {
                o.newWorkTime = ParseWorkTime(v);
            }
        }
    }
    if (!command)
        throw ToolError("no command: give play, download, epg, guide, card, mail or demo");
    o.command = *command;
    // Options may come before or after the command; each must belong to it.
    const struct {
        const char* name;
        bool given;
    } given[] = {{"program", o.program.has_value()},
                 {"mode", o.mode != 0},
                 {"audio-out", !o.audioOut.empty()},
                 {"frames", o.maxFrames != 0},
                 {"resource", !o.resources.empty()},
                 {"until-end", o.untilEnd},
                 {"stats", o.stats},
                 {"samples", !o.samples.empty()},
                 {"pin", o.pin.has_value()},
                 {"set-rating", o.newRating.has_value()},
                 {"set-worktime", o.newWorkTime.has_value()},
                 {"readers", o.listReaders},
                 {"out", !o.out.empty()}};
    for (const auto& g : given)
        if (g.given && !Accepts(o.command, g.name))
            throw ToolError(std::string("option '--") + g.name + "' does not belong to '" +
                            commandName + "'");
    switch (o.command) {
        case Command::Play:
            if (!o.program) throw ToolError("play needs --program ID");
            if (o.out.empty()) throw ToolError("play needs --out FILE");
            if (!o.audioOut.empty() && o.mode != 0)
                throw ToolError("--audio-out needs mode 0 (frames)");
            break;
        case Command::Download:
            if (o.resources.empty()) throw ToolError("download needs --resource ID");
            if (o.out.empty()) throw ToolError("download needs --out DIR");
            break;
        case Command::Guide:
            if (o.out.empty()) throw ToolError("guide needs --out DIR");
            break;
        case Command::Card:
            if ((o.newRating || o.newWorkTime) && !o.pin)
                throw ToolError("changing the card's settings needs --pin PIN");
            if (o.listReaders && o.pin) throw ToolError("--readers lists readers: no --pin");
            if (!o.input.empty()) throw ToolError("--input does not belong to 'card'");
            break;
        case Command::Mail:
            if (!o.mailAction)
                throw ToolError(
                    "mail needs an action: list, read ID, read-all, delete ID or delete-all");
            if (NeedsMailId(*o.mailAction) && !o.mailId)
                throw ToolError(std::string("mail ") +
                                (*o.mailAction == MailAction::Read ? "read" : "delete") +
                                " needs a mail id");
            break;
        default:
            break;
    }
    if (o.command != Command::Demo && o.command != Command::Card && o.command != Command::Mail &&
        o.command != Command::Help && o.input.empty())
        throw ToolError("no input: give --input FILE, - or udp://ADDR:PORT");
    if (o.command == Command::Demo && !o.input.empty())
        throw ToolError("demo builds its own input: --input does not belong to 'demo'");
    return o;
}

}  // namespace krhost
