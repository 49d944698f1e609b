// The mail command: the operator's mails the library keeps on the card, listed, read and
// deleted through the library's mail calls, after the input (when one is given) has brought
// what it carries to the card.
#include <krmodule/krmodule.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "card_command.h"
#include "commands.h"
#include "common/file_io.h"
#include "json_writer.h"
#include "library_counters.h"
#include "progress.h"
#include "tasks.h"

namespace krhost {
namespace {

constexpr uint32_t kAllMails = 0xFFFFFFFF;
constexpr int32_t kUnknownMail = 0x88;
constexpr std::size_t kMaxMails = 20;

struct Mail {
    uint32_t id = 0;
    bool read = false;
    std::string title;
};

std::vector<Mail> ListMails() {
    MailTitle titles[kMaxMails] = {};
    uint8_t count = 0;
    if (krca_T2CA_GetMailTitleList(titles, &count) != 0) return {};
    std::vector<Mail> mails;
    for (std::size_t i = 0; i < std::min<std::size_t>(count, kMaxMails); ++i) {
        const MailTitle& t = titles[i];
        const auto* title = reinterpret_cast<const char*>(t.title);
        mails.push_back(
            {t.mailId, t.read != 0, std::string(title, strnlen(title, sizeof t.title))});
    }
    return mails;
}

void Print(const std::string& text) {
    if (std::fwrite(text.data(), 1, text.size(), stdout) != text.size() || std::fflush(stdout) != 0)
        throw krtools::ToolError("cannot write to standard output");
}

std::string FormatList(const std::vector<Mail>& mails, bool json) {
    if (!json) {
        std::string out;
        for (const Mail& m : mails) {
            char head[32];
            std::snprintf(head, sizeof head, "%-10u %-7s", m.id, m.read ? "read" : "unread");
            out += head + m.title + "\n";
        }
        return out;
    }
    JsonWriter j;
    j.BeginArray();
    for (const Mail& m : mails) {
        j.BeginObject();
        j.Key("id").Number(m.id);
        j.Key("read").Bool(m.read);
        j.Key("title").String(m.title);
        j.EndObject();
    }
    j.EndArray();
    return j.text() + "\n";
}

// The mails' contents, each marked read once it has been fetched.
int ReadMails(const std::vector<Mail>& mails, bool json) {
    JsonWriter j;
    std::string text;
    j.BeginArray();
    for (const Mail& m : mails) {
        MailContent content{};
        if (const int32_t result = krca_T2CA_GetMailContent(m.id, &content); result != 0) {
            Say("mail " + std::to_string(m.id) + " could not be read (result " +
                std::to_string(result) + ")");
            return 1;
        }
        (void)krca_T2CA_SetMailRead(m.id);
        const std::string body(reinterpret_cast<const char*>(content.content),
                               std::min<std::size_t>(content.length, sizeof content.content));
        text += "mail " + std::to_string(m.id) + ": " + m.title + "\n" + body + "\n";
        j.BeginObject();
        j.Key("id").Number(m.id);
        j.Key("title").String(m.title);
        j.Key("content").String(body);
        j.EndObject();
    }
    j.EndArray();
    Print(json ? j.text() + "\n" : text);
    return 0;
}

int Act(const HostOptions& o) {
    const std::vector<Mail> mails = ListMails();
    const auto unknown = [&] {
        Say("no mail " + std::to_string(*o.mailId) + " on the card (" +
            std::to_string(mails.size()) + " mails)");
        return 1;
    };
    switch (*o.mailAction) {
        case MailAction::List:
            Print(FormatList(mails, o.json));
            return 0;
        case MailAction::ReadAll:
            return ReadMails(mails, o.json);
        case MailAction::Read: {
            const auto it = std::find_if(mails.begin(), mails.end(),
                                         [&](const Mail& m) { return m.id == *o.mailId; });
            return it == mails.end() ? unknown() : ReadMails({*it}, o.json);
        }
        case MailAction::Delete: {
            const int32_t result = krca_T2CA_DelMail(*o.mailId);
            if (result == kUnknownMail) return unknown();
            if (result != 0) break;
            Say("mail " + std::to_string(*o.mailId) + " deleted");
            return 0;
        }
        case MailAction::DeleteAll:
            if (krca_T2CA_DelMail(kAllMails) != 0) break;
            Say(std::to_string(mails.size()) + " mails deleted");
            return 0;
    }
    Say("the card did not delete the mail");
    return 1;
}

int NoCard() {
    Say("no usable card in the slot: no mails to read");
    return 1;
}

// Without an input there is nothing to receive: the library starts with the card alone, as
// for the card command, and no store is opened.
int RunWithoutInput(const HostOptions& o) {
    return WithCardOnly(o, [&](bool ready) { return ready ? Act(o) : NoCard(); });
}

}  // namespace

std::string FormatMailList(bool json) {
    return FormatList(ListMails(), json);
}

int RunMail(const HostOptions& o) {
    if (o.input.empty()) return RunWithoutInput(o);
    Station st = OpenStation(o, OpenSource(o.input), "krhost.store");
    st.session->Start();
    EpgWaitTask untilEnd(true);
    (void)st.session->Run({&untilEnd});
    // The mails are read before the library finishes, and once nothing more arrives.
    int status = InputStatus(*st.session, o.input);
    if (status == 0) status = st.session->cardResult() == 0 ? Act(o) : NoCard();
    st.session->Finish();
    if (o.stats) ReportCounters(o.json);
    return status;
}

}  // namespace krhost
