// krhost: the reference terminal. It hosts the library on a transport stream from a file,
// standard input or a UDP socket, and plays, downloads or prints what the library delivers.
#include <krmodule/krmodule.h>

#include <pthread.h>

#include <csignal>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "commands.h"
#include "common/file_io.h"
#include "guide_command.h"
#include "outcome.h"
#include "progress.h"
#include "soak.h"

namespace {

std::atomic<int> signalled{0};

void OnSignal(int signal) {
    signalled.store(signal);
    krhost::interruptRequested.store(true);
}

// Ctrl-C and SIGTERM are taken by a thread of their own that waits for them, not by a handler
// that interrupts whichever thread they hit: every thread started after this (the tool's and the
// library's) inherits the blocked mask, so no wait, read or join is ever cut short by them. (A
// handler run on the main thread also left qemu-i386's emulated thread pointer wrong, so that
// joining the reader afterwards failed with EDEADLK.) The thread ends with the process.
void CatchStopSignals() {
    sigset_t stops;
    sigemptyset(&stops);
    sigaddset(&stops, SIGINT);
    sigaddset(&stops, SIGTERM);
    if (pthread_sigmask(SIG_BLOCK, &stops, nullptr) != 0) {
        std::signal(SIGINT, OnSignal);
        std::signal(SIGTERM, OnSignal);
        return;
    }
    std::thread([stops] {
        for (;;) {
            int signal = 0;
            if (sigwait(&stops, &signal) == 0) OnSignal(signal);
        }
    }).detach();
}

krhost::Outcome Run(const krhost::HostOptions& options) {
    switch (options.command) {
        case krhost::Command::Play:
            return krhost::RunPlay(options);
        case krhost::Command::Download:
            return krhost::RunDownload(options);
        case krhost::Command::Epg:
            return krhost::RunEpg(options);
        case krhost::Command::Guide:
            return krhost::RunGuide(options);
        case krhost::Command::Demo:
            return krhost::RunDemo(options);
        case krhost::Command::Card:
            return krhost::RunCard(options);
        case krhost::Command::Mail:
            return krhost::RunMail(options);
        case krhost::Command::Help:
        case krhost::Command::Version:
            break;
    }
    return {};
}

void PrintVersion() {
    uint8_t v[4] = {};
    (void)kr_T2K_GetVersion(v);
    std::printf("krhost %s\nkrmodule library %u.%u.%u.%u\n", KRMODULE_TOOLS_VERSION, v[0], v[1],
                v[2], v[3]);
}

}  // namespace

int main(int argc, char** argv) {
    std::vector<std::string> arguments(argv + 1, argv + argc);
    // A reader of standard output that goes away is seen as EPIPE on the write.
    std::signal(SIGPIPE, SIG_IGN);
    // The soak run has options and a report of its own (soak.h).
    if (!arguments.empty() && arguments[0] == "soak") {
        CatchStopSignals();
        try {
            return krhost::RunSoak({arguments.begin() + 1, arguments.end()});
        } catch (const krtools::ToolError& error) {
            std::fprintf(stderr, "krhost: %s\n", error.what());
            std::fputs("Try 'krhost soak --help' for more information.\n", stderr);
            return krhost::kExitBadInput;
        } catch (const std::exception& error) {
            std::fprintf(stderr, "krhost: %s\n", error.what());
            return krhost::kExitUndelivered;
        }
    }
    krhost::HostOptions options;
    try {
        if (arguments.empty()) {
            std::fputs(krhost::kHostUsage, stderr);
            return krhost::kExitBadInput;
        }
        options = krhost::ParseHostArguments(arguments);
    } catch (const krtools::ToolError& error) {
        std::fprintf(stderr, "krhost: %s\n", error.what());
        std::fputs("Try 'krhost --help' for more information.\n", stderr);
        return krhost::kExitBadInput;
    }
    if (options.command == krhost::Command::Help) {
        std::fputs(krhost::kHostUsage, stdout);
        return krhost::kExitDone;
    }
    if (options.command == krhost::Command::Version) {
        PrintVersion();
        return krhost::kExitDone;
    }
    krhost::SetJsonEvents(options.json);
    CatchStopSignals();
    const std::string command = krhost::CommandName(options.command);
    krhost::Outcome outcome;
    try {
        outcome = Run(options);
    } catch (const krtools::ToolError& error) {
        outcome.exit = krhost::kExitBadInput;
        outcome.reason = error.what();
    } catch (const std::exception& error) {
        outcome.exit = krhost::kExitUndelivered;
        outcome.reason = error.what();
    }
    // Whatever the command made of it, an interrupted run says so; it stopped cleanly.
    if (const int signal = signalled.load(); signal != 0) {
        outcome.exit = 128 + signal;
        outcome.reason = signal == SIGINT ? "interrupted" : "stopped by a signal";
    }
    try {
        return krhost::Conclude(command, options.json, outcome);
    } catch (const std::exception& error) {
        std::fprintf(stderr, "krhost: %s\n", error.what());
        return krhost::kExitUndelivered;
    }
}
