// The tests use the head-end section builders under their own namespace.
#pragma once

#include "common/section_builder.h"

namespace krtest {

using krtools::BuildDatagramSection;
using krtools::BuildIpUdp;
using krtools::BuildTableSection;
using krtools::Datagram;
using krtools::IpChecksum;
using krtools::UdpChecksum;

}  // namespace krtest
