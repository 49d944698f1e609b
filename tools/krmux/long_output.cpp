#include "long_output.h"

#include <cstdio>
#include <memory>

#include "common/file_io.h"
#include "headend/long_broadcast.h"
#include "udp_output.h"

namespace krmux {

int RunLong(const krtools::MuxCommand& command, const std::atomic<bool>& stop) {
    krtools::LongBroadcast broadcast(command.options);
    for (const std::string& warning : broadcast.warnings())
        std::fprintf(stderr, "krmux: warning: %s\n", warning.c_str());
    uint32_t address = 0;
    uint16_t port = 0;
    std::unique_ptr<PacedSender> sender;
    std::FILE* out = nullptr;
    if (ParseUdpOutput(command.output, address, port)) {
        sender = std::make_unique<PacedSender>(address, port);
    } else if (command.output == "-") {
        out = stdout;
    } else {
        out = std::fopen(command.output.c_str(), "wb");
        if (out == nullptr) throw krtools::ToolError("cannot write " + command.output);
    }
    krtools::MuxResult piece;
    uint64_t packets = 0;
    uint64_t durationMs = 0;
    krtools::MuxResult totals;
    bool writeFailed = false;
    while (!stop.load() && broadcast.Next(piece)) {
        if (sender) {
            sender->Send(piece.stream, piece.packetTimesUs, stop);
        } else if (std::fwrite(piece.stream.data(), 1, piece.stream.size(), out) !=
                   piece.stream.size()) {
            // The reader went away (a terminal that stopped reading ends the broadcast).
            writeFailed = true;
            break;
        }
        packets += piece.stream.size() / 188;
        durationMs = piece.durationMs;
        totals.caSections += piece.caSections;
        totals.droppedPackets += piece.droppedPackets;
        totals.corruptedPackets += piece.corruptedPackets;
        piece.stream.clear();
        piece.packetTimesUs.clear();
        piece.caSections = piece.droppedPackets = piece.corruptedPackets = 0;
    }
    if (out != nullptr && (std::fflush(out) != 0 || writeFailed)) {
        std::fprintf(stderr, "krmux: the output stopped taking the stream after %llu ms\n",
                     static_cast<unsigned long long>(durationMs));
        if (out != stdout) std::fclose(out);
        return 1;
    }
    if (out != nullptr && out != stdout) std::fclose(out);
    std::fprintf(stderr,
                 "krmux: %llu packets, %llu ms, %u EPG versions; %llu CA sections; %llu packets "
                 "dropped, %llu corrupted\n",
                 static_cast<unsigned long long>(packets),
                 static_cast<unsigned long long>(durationMs),
                 broadcast.plan().EpgVersionAt(durationMs * 1000 - 1) + 1,
                 static_cast<unsigned long long>(totals.caSections),
                 static_cast<unsigned long long>(totals.droppedPackets),
                 static_cast<unsigned long long>(totals.corruptedPackets));
    return 0;
}

}  // namespace krmux
