// The commands of krhost; each returns the process exit status.
#pragma once

#include <filesystem>
#include <memory>
#include <string>

#include "card_reader.h"
#include "epg_print.h"
#include "options.h"
#include "outcome.h"
#include "session.h"
#include "store_file.h"
#include "terminal.h"

namespace krhost {

Outcome RunPlay(const HostOptions& options);
Outcome RunDownload(const HostOptions& options);
Outcome RunEpg(const HostOptions& options);
Outcome RunDemo(const HostOptions& options);
Outcome RunCard(const HostOptions& options);
Outcome RunMail(const HostOptions& options);

// The EPG the session holds now and the library's service links: the buffers are the
// library's, so this is taken before the session finishes.
EpgSnapshot TakeEpgSnapshot(const Session& session);

// The card's mails as `mail list` prints them, while the library runs; empty without any.
std::string FormatMailList();
// The card's mails as the JSON array "mails" of the results, while the library runs.
void WriteMailList(JsonWriter& j);

// The store, the card, the host and the session of one command.
struct Station {
    std::unique_ptr<StoreFile> store;
    std::unique_ptr<CardReader> card;
    std::unique_ptr<Terminal> terminal;
    std::unique_ptr<Session> session;
};

// Opens the store (the default path when none is given) and sets up the host and the session
// over the source; the caller starts the session. Throws krtools::ToolError on a store that
// is not one.
Station OpenStation(const HostOptions& options, std::unique_ptr<TsSource> source,
                    const std::filesystem::path& defaultStore);

// "input: N packets, ..." on the console, with what went wrong on the way.
void ReportInput(const Session& session);

// True, with exit status 2 and the reason in outcome, when the input could not be read to its
// end or was not a transport stream at all.
bool InputUnreadable(const Session& session, const std::string& input, Outcome& outcome);

}  // namespace krhost
