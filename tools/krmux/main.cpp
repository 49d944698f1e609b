// krmux: writes a transport stream a terminal can receive, from a scenario directory or options,
// to a file or live to a UDP destination.
#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "common/file_io.h"
#include "headend/head_end.h"
#include "headend/mux_options.h"
#include "headend/pcap_capture.h"
#include "udp_output.h"

namespace {

std::atomic<bool> interrupted{false};

void OnSignal(int) {
    interrupted.store(true);
}

// Writes the stream to standard output in pieces, so that an interrupt is seen between them.
// False when the reader went away (a closed pipe, as `| head` does): not an error.
bool WriteToStdout(const std::vector<uint8_t>& stream) {
    constexpr std::size_t kPiece = 188 * 512;
    for (std::size_t at = 0; at < stream.size() && !interrupted.load(); at += kPiece) {
        const std::size_t n = std::min(kPiece, stream.size() - at);
        if (std::fwrite(stream.data() + at, 1, n, stdout) != n || std::fflush(stdout) != 0) {
            if (errno == EPIPE) return false;
            throw krtools::OutputError(std::string("cannot write to standard output: ") +
                                       std::strerror(errno));
        }
    }
    return true;
}

void Summarise(const krtools::MuxResult& result) {
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
}

constexpr int kInterrupted = 130;

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
    // A reader that goes away is seen as EPIPE on the write, not as a fatal signal.
    std::signal(SIGPIPE, SIG_IGN);
    std::signal(SIGINT, OnSignal);
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
        if (command.version) {
            std::printf("krmux %s\n", KRMODULE_TOOLS_VERSION);
            return 0;
        }
        const krtools::HeadEndContent content = krtools::LoadContent(command.options);
        const krtools::MuxResult result = krtools::GenerateStream(content, command.options);
        if (!command.pcap.empty()) WriteCapture(command.pcap, content, result);
        for (const std::string& warning : result.warnings)
            std::fprintf(stderr, "krmux: warning: %s\n", warning.c_str());
        if (interrupted.load()) {
            std::fputs("krmux: interrupted before the stream was written\n", stderr);
            return kInterrupted;
        }
        uint32_t address = 0;
        uint16_t port = 0;
        if (krmux::ParseUdpOutput(command.output, address, port)) {
            krmux::SendPaced(result.stream, result.packetTimesUs, address, port, interrupted);
        } else if (command.output == "-") {
            if (!WriteToStdout(result.stream)) return 0;
        } else {
            krtools::WriteWholeFile(command.output, result.stream);
        }
        if (interrupted.load()) {
            std::fputs("krmux: interrupted: the stream was not sent to its end\n", stderr);
            return kInterrupted;
        }
        Summarise(result);
        return 0;
    } catch (const krtools::OutputError& error) {
        std::fprintf(stderr, "krmux: %s\n", error.what());
        return 1;
    } catch (const krtools::ToolError& error) {
        std::fprintf(stderr, "krmux: %s\n", error.what());
        std::fputs("Try 'krmux --help' for more information.\n", stderr);
        return 2;
    } catch (const std::exception& error) {
        std::fprintf(stderr, "krmux: %s\n", error.what());
        return 1;
    }
}
