#include "krcard_options.h"

#include "common/file_io.h"
#include "common/settings.h"

#ifndef KRCARD_SAMPLE_CARD
#define KRCARD_SAMPLE_CARD "samples/card/card.txt"
#endif

namespace krcard {

const char* const kCardUsage =
    "usage: krcard [--profile FILE] [--state FILE] [--host HOST] [--port PORT]\n"
    "              [--first-answer-ms MS] [--verbose]\n"
    "The virtual subscriber card in the virtual reader of pcscd: krcard connects to vpcd (the\n"
    "virtual reader driver, package vsmartcard-vpcd) as the card in its reader and answers\n"
    "like a real card, so PC/SC programs such as 'krhost --card pcsc' can use it. The card is\n"
    "in the reader while krcard is connected; krcard connects again whenever pcscd restarts.\n"
    "\n"
    "  --profile FILE  the card profile (default: the sample card, " KRCARD_SAMPLE_CARD ")\n"
    "  --state FILE    the card's memory between runs: loaded at start when it exists, and\n"
    "                  written after every change the card makes (mails, rating, viewing\n"
    "                  period, entitlements, PIN tries)\n"
    "  --host HOST     where vpcd listens (default localhost)\n"
    "  --port PORT     its port (default 35963, the first virtual reader)\n"
    "  --first-answer-ms MS\n"
    "                  the card takes MS milliseconds to answer its first command after it\n"
    "                  entered the reader, as a slow card busy with its start does\n"
    "  --verbose       every control and command with the card's status word\n"
    "  --help          this text\n"
    "  --version       krcard's version\n"
    "\n"
    "Exit status:\n"
    "  0    stopped (SIGTERM)\n"
    "  1    the card could not run; the reason is the last line\n"
    "  2    bad arguments, or a profile or state file that cannot be read\n"
    "  130  interrupted (Ctrl-C)\n";

CardOptions ParseCardArguments(const std::vector<std::string>& arguments) {
    CardOptions o;
    o.profile = KRCARD_SAMPLE_CARD;
    for (std::size_t i = 0; i < arguments.size(); ++i) {
        const std::string& a = arguments[i];
        if (a == "--help" || a == "-h") {
            o.help = true;
            return o;
        }
        if (a == "--version") {
            o.version = true;
            return o;
        }
        if (a == "--verbose" || a == "-v") {
            o.verbose = true;
            continue;
        }
        if (a != "--profile" && a != "--state" && a != "--host" && a != "--port" &&
            a != "--first-answer-ms")
            throw krtools::ToolError("unknown argument '" + a + "'");
        if (i + 1 >= arguments.size()) throw krtools::ToolError(a + " needs a value");
        const std::string& v = arguments[++i];
        if (v.empty()) throw krtools::ToolError("bad value for '" + a.substr(2) + "': ''");
        if (a == "--profile") {
            o.profile = v;
        } else if (a == "--state") {
            o.state = v;
        } else if (a == "--host") {
            o.host = v;
        } else if (a == "--first-answer-ms") {
            const auto ms = krtools::ParseDecimal(v, 60000);
            if (!ms) throw krtools::ToolError("bad value for 'first-answer-ms': '" + v + "'");
            o.firstAnswerMs = static_cast<uint32_t>(*ms);
        } else {
            const auto port = krtools::ParseDecimal(v, 0xFFFF);
            if (!port || *port == 0) throw krtools::ToolError("bad value for 'port': '" + v + "'");
            o.port = static_cast<uint16_t>(*port);
        }
    }
    return o;
}

}  // namespace krcard
