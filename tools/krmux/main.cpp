// krmux: writes a transport stream a terminal can receive, from a scenario directory or options,
// to a file or live to a UDP destination.
#include <cstdio>
#include <string>
#include <vector>

#include "common/file_io.h"
#include "headend/head_end.h"
#include "headend/mux_options.h"
#include "headend/pcap_capture.h"
#include "udp_output.h"

namespace {

void WriteCapture(const std::string& path, const krtools::HeadEndContent& content,
                  const krtools::MuxResult& result) {
    for (const krtools::LiveProgramContent& program : content.programs) {
        if (program.where.ca != 0) continue;
        const krtools::PcapCapture capture =
            krtools::CaptureProgram(result.stream, result.packetTimesUs, program.where);
        krtools::WriteWholeFile(path, capture.file);
        std::fprintf(stderr, "krmux: %llu datagrams of program %u to %s\n",
                     static_cast<unsigned long long>(capture.datagrams), program.where.programId,
                     path.c_str());
        return;
    }
    throw krtools::ToolError("--pcap: no clear live program to capture");
}

}  // namespace

int main(int argc, char** argv) {
    std::vector<std::string> arguments(argv + 1, argv + argc);
    try {
        if (arguments.empty()) {
            std::fputs(krtools::kMuxUsage, stderr);
            return 2;
        }
        const krtools::MuxCommand command = krtools::ParseMuxArguments(arguments);
        if (command.help) {
            std::fputs(krtools::kMuxUsage, stdout);
            return 0;
        }
        const krtools::HeadEndContent content = krtools::LoadContent(command.options);
        const krtools::MuxResult result = krtools::GenerateStream(content, command.options);
        if (!command.pcap.empty()) WriteCapture(command.pcap, content, result);
        for (const std::string& warning : result.warnings)
            std::fprintf(stderr, "krmux: warning: %s\n", warning.c_str());
        uint32_t address = 0;
        uint16_t port = 0;
        if (krmux::ParseUdpOutput(command.output, address, port)) {
            krmux::SendPaced(result.stream, result.packetTimesUs, address, port);
        } else if (command.output == "-") {
            if (std::fwrite(result.stream.data(), 1, result.stream.size(), stdout) !=
                    result.stream.size() ||
                std::fflush(stdout) != 0)
                throw krtools::ToolError("cannot write to standard output");
        } else {
            krtools::WriteWholeFile(command.output, result.stream);
        }
        std::fprintf(stderr,
                     "krmux: %zu packets, %llu ms: %llu system information, %llu EPG blocks, "
                     "%llu video and %llu audio datagrams, %llu resource blocks",
                     result.stream.size() / 188, static_cast<unsigned long long>(result.durationMs),
                     static_cast<unsigned long long>(result.sysinfoSections),
                     static_cast<unsigned long long>(result.epgBlockSections),
                     static_cast<unsigned long long>(result.videoSections),
                     static_cast<unsigned long long>(result.audioSections),
                     static_cast<unsigned long long>(result.resourceBlockSections));
        if (result.caSections)
            std::fprintf(stderr, "; %llu CA sections, %llu packets scrambled",
                         static_cast<unsigned long long>(result.caSections),
                         static_cast<unsigned long long>(result.scrambledPackets));
        if (result.droppedPackets || result.corruptedPackets)
            std::fprintf(stderr, "; %llu packets dropped, %llu corrupted",
                         static_cast<unsigned long long>(result.droppedPackets),
                         static_cast<unsigned long long>(result.corruptedPackets));
        std::fputs("\n", stderr);
        return 0;
    } catch (const krtools::ToolError& error) {
        std::fprintf(stderr, "krmux: %s\n", error.what());
        std::fputs("Try 'krmux --help' for more information.\n", stderr);
        return 2;
    } catch (const std::exception& error) {
        std::fprintf(stderr, "krmux: %s\n", error.what());
        return 1;
    }
}
