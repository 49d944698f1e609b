#include "pcsc_card.h"

#include <winscard.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <stdexcept>
#include <thread>


namespace krtools {

const bool kPcscBuiltIn = true;

namespace {

using namespace std::chrono_literals;

// How long the watcher waits for a change before it looks at its stop flag again, and how
// long it pauses before it tries a service or reader that has gone away again.
constexpr DWORD kWatchStepMs = 200;
constexpr auto kRetryPause = 500ms;
// The host's response buffer.
constexpr DWORD kHostResponseSize = 256;

std::string ErrorText(LONG rv) {
    switch (rv) {
        case SCARD_E_NO_SERVICE:
        case SCARD_E_SERVICE_STOPPED:
            return "the PC/SC service is not running (start pcscd)";
        case SCARD_F_COMM_ERROR:
            return "the PC/SC service stopped";
        case SCARD_E_NO_READERS_AVAILABLE:
            return "no card reader is connected";
        case SCARD_E_UNKNOWN_READER:
        case SCARD_E_READER_UNAVAILABLE:
            return "the reader is gone";
        case SCARD_E_NO_SMARTCARD:
            return "no card in the reader";
        case SCARD_W_REMOVED_CARD:
            return "the card was removed";
        case SCARD_W_UNRESPONSIVE_CARD:
            return "the card does not answer";
        case SCARD_W_UNPOWERED_CARD:
            return "the card is not powered";
        case SCARD_E_SHARING_VIOLATION:
            return "the reader is in use by another program";
        default:
            return pcsc_stringify_error(rv);
    }
}

// The service, its readers and their states, on a context of its own. Throws
// std::runtime_error.
class Context {
  public:
    Context() {
        const LONG rv = SCardEstablishContext(SCARD_SCOPE_SYSTEM, nullptr, nullptr, &context_);
        if (rv != SCARD_S_SUCCESS) throw std::runtime_error("PC/SC: " + ErrorText(rv));
    }
    ~Context() { (void)SCardReleaseContext(context_); }
    Context(const Context&) = delete;
    Context& operator=(const Context&) = delete;

    SCARDCONTEXT get() const { return context_; }

    std::vector<std::string> Readers() const {
        DWORD size = 0;
        LONG rv = SCardListReaders(context_, nullptr, nullptr, &size);
        if (rv == SCARD_E_NO_READERS_AVAILABLE) return {};
        std::vector<char> names(size + 1, '\0');
        if (rv == SCARD_S_SUCCESS) rv = SCardListReaders(context_, nullptr, names.data(), &size);
        if (rv == SCARD_E_NO_READERS_AVAILABLE) return {};
        if (rv != SCARD_S_SUCCESS) throw std::runtime_error("PC/SC: " + ErrorText(rv));
        // A multi-string: names, each ended by a NUL, and an empty one at the end.
        std::vector<std::string> readers;
        for (std::size_t at = 0; at < std::min<std::size_t>(size, names.size()) && names[at];) {
            const std::size_t length = strnlen(&names[at], names.size() - at);
            readers.emplace_back(&names[at], length);
            at += length + 1;
        }
        return readers;
    }

  private:
    SCARDCONTEXT context_ = 0;
};

// The context is no good any more: the service went away, perhaps to start again.
bool ServiceGone(LONG rv) {
    return rv == SCARD_E_NO_SERVICE || rv == SCARD_E_SERVICE_STOPPED ||
           rv == SCARD_E_INVALID_HANDLE || rv == SCARD_F_COMM_ERROR;
}

bool Present(DWORD state) {
    return (state & SCARD_STATE_PRESENT) != 0 && (state & SCARD_STATE_MUTE) == 0;
}

// The state of one reader now; false when the service does not know it.
bool ReaderState(const Context& context, const std::string& name, DWORD& state) {
    SCARD_READERSTATE rs{};
    rs.szReader = name.c_str();
    rs.dwCurrentState = SCARD_STATE_UNAWARE;
    const LONG rv = SCardGetStatusChange(context.get(), 0, &rs, 1);
    if (rv != SCARD_S_SUCCESS && rv != SCARD_E_TIMEOUT) return false;
    state = rs.dwEventState;
    return (state & SCARD_STATE_UNKNOWN) == 0;
}

class PcscReader final : public CardReader {
  public:
    PcscReader(std::string name, Report report)
        : name_(std::move(name)), report_(std::move(report)) {}
    ~PcscReader() override {
        StopWatching();
        std::lock_guard hold(mutex_);
        // Left reset: the next program finds no PIN verified.
        Disconnect(SCARD_RESET_CARD);
    }

    int32_t Reset(uint8_t* answerToReset, uint32_t* length) override;
    int32_t Apdu(uint32_t* length, const uint8_t* command, uint8_t* response) override;
    bool CardPresent() override;
    void Watch(Changed changed) override;
    void StopWatching() override;

  private:
    // With mutex_ held.
    bool EnsureContext();
    void Disconnect(DWORD disposition = SCARD_LEAVE_CARD);
    void Failed(const std::string& what, LONG rv);

    void WatchLoop(const Changed& changed);
    // Waits for the stop flag at most the pause; false when stopping.
    bool Pause();

    const std::string name_;
    const Report report_;
    std::mutex mutex_;  // the exchange context and the card handle
    std::unique_ptr<Context> context_;
    SCARDHANDLE card_ = 0;
    bool connected_ = false;
    DWORD protocol_ = 0;
    LONG lastError_ = SCARD_S_SUCCESS;  // said once until an exchange works again

    std::thread watcher_;
    std::mutex stopMutex_;
    std::condition_variable stopped_;
    bool stop_ = false;
    std::atomic<bool> present_{false};  // as last reported
};

bool PcscReader::EnsureContext() {
    if (context_ != nullptr && SCardIsValidContext(context_->get()) == SCARD_S_SUCCESS)
        return true;
    Disconnect();
    context_.reset();
    try {
        context_ = std::make_unique<Context>();
    } catch (const std::runtime_error&) {
        return false;
    }
    return true;
}

void PcscReader::Disconnect(DWORD disposition) {
    if (connected_) (void)SCardDisconnect(card_, disposition);
    connected_ = false;
}

// A failure is said once, not at every retry of the library, until the card works again.
void PcscReader::Failed(const std::string& what, LONG rv) {
    if (rv == lastError_) return;
    lastError_ = rv;
    report_("card: " + what + " failed on reader " + name_ + ": " + ErrorText(rv));
}

int32_t PcscReader::Reset(uint8_t* answerToReset, uint32_t* length) {
    if (answerToReset == nullptr || length == nullptr) return 1;
    std::lock_guard hold(mutex_);
    const auto reconnect = [this] {
        return SCardReconnect(card_, SCARD_SHARE_EXCLUSIVE, SCARD_PROTOCOL_T0 | SCARD_PROTOCOL_T1,
                              SCARD_RESET_CARD, &protocol_);
    };
    const auto connect = [this] {
        if (!EnsureContext()) return static_cast<LONG>(SCARD_E_NO_SERVICE);
        return SCardConnect(context_->get(), name_.c_str(), SCARD_SHARE_EXCLUSIVE,
                            SCARD_PROTOCOL_T0 | SCARD_PROTOCOL_T1, &card_, &protocol_);
    };
    LONG rv = SCARD_S_SUCCESS;
    if (connected_) {
        rv = reconnect();
        // A card taken out and put back needs a new connection.
        if (rv != SCARD_S_SUCCESS) Disconnect();
    }
    if (!connected_) {
        rv = connect();
        // The service started again since the last reset: once more on a new context.
        if (ServiceGone(rv)) {
            context_.reset();
            rv = connect();
        }
        if (rv == SCARD_S_SUCCESS) {
            connected_ = true;
            // The card may have been used before: a reset starts it afresh, as in a slot.
            rv = reconnect();
            if (rv != SCARD_S_SUCCESS) Disconnect();
        }
        if (rv != SCARD_S_SUCCESS) {
            Failed("reset", rv);
            return 1;
        }
    }
    BYTE atr[MAX_ATR_SIZE];
    DWORD atrLength = sizeof atr;
    DWORD state = 0;
    DWORD protocol = 0;
    char reader[MAX_READERNAME + 1] = {};
    DWORD nameLength = MAX_READERNAME;
    rv = SCardStatus(card_, reader, &nameLength, &state, &protocol, atr, &atrLength);
    if (rv != SCARD_S_SUCCESS || atrLength > sizeof atr || atrLength > *length) {
        Failed("reset", rv != SCARD_S_SUCCESS ? rv : SCARD_E_INSUFFICIENT_BUFFER);
        return 1;
    }
    std::memcpy(answerToReset, atr, atrLength);
    *length = static_cast<uint32_t>(atrLength);
    lastError_ = SCARD_S_SUCCESS;
    return 0;
}

int32_t PcscReader::Apdu(uint32_t* length, const uint8_t* command, uint8_t* response) {
    if (length == nullptr || response == nullptr || command == nullptr || *length == 0) return 1;
    std::lock_guard hold(mutex_);
    if (!connected_) return 1;
    // The exchange goes as it is: a card that answers 61 xx leaves the GET RESPONSE to the
    // library.
    const SCARD_IO_REQUEST* pci = protocol_ == SCARD_PROTOCOL_T0 ? SCARD_PCI_T0 : SCARD_PCI_T1;
    BYTE answer[MAX_BUFFER_SIZE];
    DWORD answerLength = sizeof answer;
    const LONG rv = SCardTransmit(card_, pci, command, *length, nullptr, answer, &answerLength);
    if (rv != SCARD_S_SUCCESS) {
        Failed("an exchange", rv);
        if (rv != SCARD_E_TIMEOUT && rv != SCARD_E_NOT_TRANSACTED) Disconnect();
        return 1;
    }
    if (answerLength < 2 || answerLength > kHostResponseSize || answerLength > sizeof answer) {
        Failed("an exchange", SCARD_E_INSUFFICIENT_BUFFER);
        return 1;
    }
    std::memcpy(response, answer, answerLength);
    *length = static_cast<uint32_t>(answerLength);
    lastError_ = SCARD_S_SUCCESS;
    return 0;
}

bool PcscReader::CardPresent() {
    try {
        const Context context;
        DWORD state = 0;
        const bool present = ReaderState(context, name_, state) && Present(state);
        present_.store(present);
        return present;
    } catch (const std::runtime_error&) {
        present_.store(false);
        return false;
    }
}

void PcscReader::Watch(Changed changed) {
    StopWatching();
    {
        std::lock_guard hold(stopMutex_);
        stop_ = false;
    }
    watcher_ = std::thread([this, changed = std::move(changed)] { WatchLoop(changed); });
}

void PcscReader::StopWatching() {
    {
        std::lock_guard hold(stopMutex_);
        stop_ = true;
    }
    stopped_.notify_all();
    if (watcher_.joinable()) watcher_.join();
}

bool PcscReader::Pause() {
    std::unique_lock hold(stopMutex_);
    return !stopped_.wait_for(hold, kRetryPause, [this] { return stop_; });
}

void PcscReader::WatchLoop(const Changed& changed) {
    const auto stopping = [this] {
        std::lock_guard hold(stopMutex_);
        return stop_;
    };
    const auto report = [&](bool present) {
        if (present == present_.load()) return;
        present_.store(present);
        changed(present);
    };
    std::unique_ptr<Context> context;
    DWORD known = SCARD_STATE_UNAWARE;
    bool saidGone = false;
    while (!stopping()) {
        if (context == nullptr) {
            try {
                context = std::make_unique<Context>();
                known = SCARD_STATE_UNAWARE;
            } catch (const std::runtime_error& error) {
                if (!saidGone) report_(std::string("card: ") + error.what());
                saidGone = true;
                report(false);
                if (!Pause()) break;
                continue;
            }
        }
        SCARD_READERSTATE rs{};
        rs.szReader = name_.c_str();
        rs.dwCurrentState = known;
        const LONG rv = SCardGetStatusChange(context->get(), kWatchStepMs, &rs, 1);
        if (rv == SCARD_E_TIMEOUT) continue;
        if (rv == SCARD_S_SUCCESS && (rs.dwEventState & SCARD_STATE_UNKNOWN) == 0) {
            if (saidGone) report_("card: reader " + name_ + " is back");
            saidGone = false;
            // The high half counts the card's comings and goings: a card swapped between two
            // looks is a removal and an insertion.
            const bool swapped = known != SCARD_STATE_UNAWARE && Present(known) &&
                                 Present(rs.dwEventState) &&
                                 (known >> 16) != (rs.dwEventState >> 16);
            if (swapped) report(false);
            known = rs.dwEventState & ~static_cast<DWORD>(SCARD_STATE_CHANGED);
            report(Present(rs.dwEventState));
            continue;
        }
        // The reader or the whole service went away: the card is gone with it; look again
        // after a pause.
        if (!saidGone)
            report_("card: reader " + name_ + ": " +
                ErrorText(rv == SCARD_S_SUCCESS ? SCARD_E_UNKNOWN_READER : rv));
        saidGone = true;
        report(false);
        if (rv == SCARD_E_NO_SERVICE || rv == SCARD_E_SERVICE_STOPPED ||
            rv == SCARD_E_INVALID_HANDLE || SCardIsValidContext(context->get()) != SCARD_S_SUCCESS)
            context.reset();
        known = SCARD_STATE_UNAWARE;
        if (!Pause()) break;
    }
}

}  // namespace

std::vector<PcscReaderInfo> ListPcscReaders() {
    const Context context;
    std::vector<PcscReaderInfo> readers;
    for (const std::string& name : context.Readers()) {
        DWORD state = 0;
        const bool known = ReaderState(context, name, state);
        readers.push_back({name, known && Present(state)});
    }
    return readers;
}

std::unique_ptr<CardReader> OpenPcscReader(const std::string& name, const Report& report) {
    const std::vector<PcscReaderInfo> readers = ListPcscReaders();
    if (readers.empty()) throw std::runtime_error("PC/SC: no card reader is connected");
    const PcscReaderInfo* chosen = nullptr;
    if (name.empty()) {
        const auto withCard = std::find_if(readers.begin(), readers.end(),
                                           [](const PcscReaderInfo& r) { return r.cardPresent; });
        chosen = withCard != readers.end() ? &*withCard : &readers.front();
    } else {
        for (const PcscReaderInfo& r : readers)
            if (r.name == name) chosen = &r;
        std::size_t matches = 0;
        for (const PcscReaderInfo& r : readers)
            if (chosen == nullptr && r.name.find(name) != std::string::npos) ++matches;
        for (const PcscReaderInfo& r : readers)
            if (chosen == nullptr && matches == 1 && r.name.find(name) != std::string::npos)
                chosen = &r;
        if (chosen == nullptr) {
            std::string known;
            for (const PcscReaderInfo& r : readers)
                known += (known.empty() ? "" : ", ") + ("'" + r.name + "'");
            throw std::runtime_error("PC/SC: " +
                                     std::string(matches > 1 ? "more than one reader is named "
                                                             : "no reader is named ") +
                                     "'" + name + "' (readers: " + known + ")");
        }
    }
    report("card: reader " + chosen->name);
    return std::make_unique<PcscReader>(chosen->name, report);
}

}  // namespace krtools
