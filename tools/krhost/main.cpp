// krhost: the reference terminal. It hosts the library on a transport stream from a file,
// standard input or a UDP socket, and plays, downloads or prints what the library delivers.
#include <csignal>
#include <cstdio>
#include <string>
#include <vector>

#include "commands.h"
#include "common/file_io.h"
#include "guide_command.h"
#include "soak.h"

namespace {

void OnSignal(int) {
    krhost::interruptRequested.store(true);
}

}  // namespace

int main(int argc, char** argv) {
    std::vector<std::string> arguments(argv + 1, argv + argc);
    try {
        if (arguments.empty()) {
            std::fputs(krhost::kHostUsage, stderr);
            return 2;
        }
        std::signal(SIGINT, OnSignal);
        std::signal(SIGTERM, OnSignal);
        std::signal(SIGPIPE, SIG_IGN);
        // The soak run has options of its own (soak.h).
        if (arguments[0] == "soak")
            return krhost::RunSoak({arguments.begin() + 1, arguments.end()});
        const krhost::HostOptions options = krhost::ParseHostArguments(arguments);
        switch (options.command) {
            case krhost::Command::Help:
                std::fputs(krhost::kHostUsage, stdout);
                return 0;
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
        }
        return 2;
    } catch (const krtools::ToolError& error) {
        std::fprintf(stderr, "krhost: %s\n", error.what());
        std::fputs("Try 'krhost --help' for more information.\n", stderr);
        return 2;
    } catch (const std::exception& error) {
        std::fprintf(stderr, "krhost: %s\n", error.what());
        return 1;
    }
}
