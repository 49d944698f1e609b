// The terminal's tools built without libpcsclite: the PC/SC calls say so.
#include "common/file_io.h"
#include "pcsc_card.h"

namespace krtools {

const bool kPcscBuiltIn = false;

namespace {

[[noreturn]] void NotBuiltIn() {
    throw ToolError(
        "built without PC/SC: install libpcsclite-dev (pkg-config libpcsclite) "
        "and configure the build again");
}

}  // namespace

std::vector<PcscReaderInfo> ListPcscReaders() {
    NotBuiltIn();
}

std::unique_ptr<CardReader> OpenPcscReader(const std::string&, const Report&) {
    NotBuiltIn();
}

}  // namespace krtools
