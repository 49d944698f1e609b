// One program's RTP datagrams out of a transport stream, as a capture file (the classic pcap
// format, Ethernet frames) that packet tools and media frameworks read: what a receiver's
// network stack would have seen had the same datagrams come over IP instead of the broadcast.
#pragma once

#include <cstdint>
#include <vector>

#include "common/epg_announcements.h"

namespace krtools {

struct PcapCapture {
    std::vector<uint8_t> file;  // the global header, then one record per datagram
    uint64_t datagrams = 0;
};

// The datagrams of the program's video and audio destinations in the stream, each stamped with
// the due time of the transport packet that completed its section (packetTimesUs, one per
// 188-byte packet). Scrambled packets are not read: capture a clear program.
PcapCapture CaptureProgram(const std::vector<uint8_t>& stream,
                           const std::vector<uint64_t>& packetTimesUs,
                           const AnnouncedProgram& program);

}  // namespace krtools
