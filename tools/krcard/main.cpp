// krcard: the virtual subscriber card in the virtual reader of pcscd. It connects to vpcd as the
// card behind the reader, answers the reader's controls and commands as the card of its
// profile, and keeps what the card writes in a state file, so that any PC/SC program (krhost
// --card pcsc among them) sees a card that keeps its memory as a real one does.
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "card/card_profile.h"
#include "card/card_state_file.h"
#include "card/virtual_card.h"
#include "krcard_options.h"
#include "vpcd_link.h"
#include "vpcd_messages.h"

namespace {

volatile std::sig_atomic_t stopRequested = 0;

volatile std::sig_atomic_t stopSignal = 0;

void OnSignal(int signal) {
    stopSignal = signal;
    stopRequested = 1;
}

void Say(const std::string& text) {
    std::fprintf(stderr, "krcard: %s\n", text.c_str());
    std::fflush(stderr);
}

// A wait that a signal ends early.
void Pause(int ms) {
    timespec t{ms / 1000, static_cast<long>(ms % 1000) * 1000000L};
    (void)nanosleep(&t, nullptr);
}

constexpr int kReceiveWaitMs = 250;
constexpr int kReconnectPauseMs = 1000;

// One connection: the card is in the reader until it ends or a stop is asked for.
void Serve(krcard::VpcdLink& link, krcard::CardInReader& card, bool verbose,
           uint32_t firstAnswerMs) {
    krcard::VpcdReceiver receiver;
    std::vector<krcard::Bytes> messages;
    bool answeredACommand = false;
    while (stopRequested == 0) {
        const std::optional<std::vector<uint8_t>> bytes = link.Receive(kReceiveWaitMs);
        if (!bytes) {
            Say(receiver.InsideMessage()
                    ? "vpcd closed the connection inside a message; connecting again"
                    : "vpcd closed the connection (pcscd stopped?); connecting again");
            return;
        }
        messages.clear();
        const bool good = receiver.Take(*bytes, messages);
        for (const krcard::Bytes& message : messages) {
            // vpcd's controls are one byte long; anything longer is a command for the card.
            if (message.size() > 1 && !answeredACommand) {
                answeredACommand = true;
                if (firstAnswerMs > 0) Pause(static_cast<int>(firstAnswerMs));
            }
            const krcard::CardInReader::Answer answer = card.Handle(message);
            if (verbose && !answer.line.empty()) Say(answer.line);
            if (answer.reply && !link.Send(krcard::FrameMessage(*answer.reply))) {
                Say("sending to vpcd failed; connecting again");
                return;
            }
        }
        if (!good) {
            Say("vpcd sent a message of length 0: not the vpcd protocol; connecting again");
            return;
        }
    }
}

int Run(const krcard::CardOptions& o) {
    const krtools::CardProfile profile = krtools::ReadCardProfile(o.profile);
    krtools::VirtualCard card(profile);
    std::unique_ptr<krtools::CardStateKeeper> keeper;
    if (!o.state.empty()) {
        Say(krtools::LoadCardState(card, o.state)
                ? "card state from " + o.state.string()
                : "no card state in " + o.state.string() + " yet: the card starts from " +
                      o.profile.string());
        keeper = std::make_unique<krtools::CardStateKeeper>(
            card, o.state, [](const std::string& message) { Say(message); });
    }
    krcard::CardInReader inReader(card, profile.atr);
    const std::string where = o.host + ":" + std::to_string(o.port);
    std::string lastError;
    krcard::VpcdLink link;
    while (stopRequested == 0) {
        std::string error;
        if (!link.Connect(o.host, o.port, error)) {
            // Said once per reason: pcscd may start long after the card.
            if (error != lastError) Say("waiting for vpcd at " + where + " (" + error + ")");
            lastError = error;
            Pause(kReconnectPauseMs);
            continue;
        }
        lastError.clear();
        Say("connected to vpcd at " + where + ": the card is in the reader");
        Serve(link, inReader, o.verbose, o.firstAnswerMs);
        link.Close();
    }
    Say("stopped: the card is out of the reader");
    // SIGTERM is the service's ordinary stop; Ctrl-C ends it as it ends every tool.
    return stopSignal == SIGINT ? 130 : 0;
}

}  // namespace

int main(int argc, char** argv) {
    try {
        const krcard::CardOptions options =
            krcard::ParseCardArguments(std::vector<std::string>(argv + 1, argv + argc));
        if (options.help) {
            std::fputs(krcard::kCardUsage, stdout);
            return 0;
        }
        if (options.version) {
            std::printf("krcard %s\n", KRMODULE_TOOLS_VERSION);
            return 0;
        }
        struct sigaction action{};
        action.sa_handler = OnSignal;  // no SA_RESTART: a wait ends at the signal
        sigemptyset(&action.sa_mask);
        sigaction(SIGINT, &action, nullptr);
        sigaction(SIGTERM, &action, nullptr);
        std::signal(SIGPIPE, SIG_IGN);
        return Run(options);
    } catch (const krtools::ToolError& error) {
        std::fprintf(stderr, "krcard: %s\n", error.what());
        std::fputs("Try 'krcard --help' for more information.\n", stderr);
        return 2;
    } catch (const std::exception& error) {
        std::fprintf(stderr, "krcard: %s\n", error.what());
        return 1;
    }
}
