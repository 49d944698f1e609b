#include "progress.h"

#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <mutex>

#include "common/file_io.h"
#include "json_writer.h"

namespace krhost {
namespace {

std::mutex consoleMutex;
std::string shownBar;  // the bar on screen, empty: none
std::atomic<bool> jsonEvents{false};
std::mutex outMutex;
bool readerGone = false;  // guarded by outMutex

void EraseBar() {
    if (shownBar.empty()) return;
    std::fprintf(stderr, "\r%*s\r", static_cast<int>(shownBar.size()), "");
}

void DrawBar() {
    if (!shownBar.empty()) std::fputs(shownBar.c_str(), stderr);
    std::fflush(stderr);
}

}  // namespace

bool ConsoleIsTerminal() {
    static const bool terminal = ::isatty(STDERR_FILENO) == 1;
    return terminal;
}

void Say(const std::string& text) {
    SayRaw("krhost: " + text + "\n");
}

void SayRaw(const std::string& text) {
    std::lock_guard hold(consoleMutex);
    EraseBar();
    std::fputs(text.c_str(), stderr);
    DrawBar();
}

void SetJsonEvents(bool on) {
    jsonEvents.store(on);
}

bool JsonEvents() {
    return jsonEvents.load();
}

void SayEvent(const std::string& name, const std::string& line, const std::string& members) {
    if (!JsonEvents()) {
        Say(line);
        return;
    }
    // Appended piece by piece: GCC 12 misjudges `const char* + std::string&&` at -O3.
    std::string object = "{";
    object += JsonQuote("event");
    object += ':';
    object += JsonQuote(name);
    if (!members.empty()) {
        object += ',';
        object += members;
    }
    object += "}\n";
    (void)PrintOut(object);
}

bool PrintOut(const std::string& text) {
    std::lock_guard hold(outMutex);
    if (readerGone) return false;
    if (std::fwrite(text.data(), 1, text.size(), stdout) == text.size() &&
        std::fflush(stdout) == 0)
        return true;
    if (errno == EPIPE) {
        readerGone = true;
        return false;
    }
    throw krtools::OutputError(std::string("cannot write to standard output: ") +
                               std::strerror(errno));
}

void ShowProgress(const std::string& name, uint32_t received, uint32_t total) {
    if (!ConsoleIsTerminal() || total == 0) return;
    constexpr uint32_t kWidth = 30;
    const uint32_t filled =
        total == 0 ? 0 : static_cast<uint32_t>(uint64_t{received} * kWidth / total);
    // Appended piece by piece: GCC's restrict check misreads chains of string concatenation.
    std::string bar = "\r[";
    bar.append(filled, '#');
    bar.append(kWidth - filled, '.');
    bar += "] ";
    bar += std::to_string(received);
    bar += '/';
    bar += std::to_string(total);
    bar += " blocks  ";
    bar += name;
    std::lock_guard hold(consoleMutex);
    EraseBar();
    shownBar = bar;
    DrawBar();
}

void ClearProgress() {
    std::lock_guard hold(consoleMutex);
    EraseBar();
    shownBar.clear();
    std::fflush(stderr);
}

std::string DescribeRanges(const std::vector<uint32_t>& numbers) {
    std::string out;
    for (std::size_t i = 0; i < numbers.size();) {
        std::size_t j = i;
        while (j + 1 < numbers.size() && numbers[j + 1] == numbers[j] + 1)
            ++j;
        if (!out.empty()) out += ", ";
        out += std::to_string(numbers[i]);
        if (j > i) {
            out += '-';
            out += std::to_string(numbers[j]);
        }
        i = j + 1;
    }
    return out;
}

}  // namespace krhost
