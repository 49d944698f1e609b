// A real card reader through the PC/SC service (pcscd): the card's answer to reset and its
// exchanges as the card gives them, and insertions and removals seen by a watcher thread.
// Built only when libpcsclite is found; without it every call says so.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "card_reader.h"
#include "report.h"

namespace krtools {

// Whether the terminal's tools were built with PC/SC.
extern const bool kPcscBuiltIn;

struct PcscReaderInfo {
    std::string name;
    bool cardPresent = false;
};

// The readers the service knows, in its order. Throws std::runtime_error when the service is
// not running or fails, ToolError when PC/SC is not built in.
std::vector<PcscReaderInfo> ListPcscReaders();

// The reader named (its full name, or a part of only one reader's name); with an empty name the
// first reader with a card, else the first reader. Throws as ListPcscReaders, and
// std::runtime_error when no reader matches. What the reader has to say later (a failure, the
// reader gone and back) goes to report.
std::unique_ptr<CardReader> OpenPcscReader(const std::string& name, const Report& report);

}  // namespace krtools
