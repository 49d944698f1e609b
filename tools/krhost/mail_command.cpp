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

std::string CountMails(std::size_t n) {
    return std::to_string(n) + (n == 1 ? " mail" : " mails");
}

std::string FormatList(const std::vector<Mail>& mails) {
    std::string out;
    for (const Mail& m : mails) {
        char head[32];
        std::snprintf(head, sizeof head, "%-10u %-7s", m.id, m.read ? "read" : "unread");
        out += head + m.title + "\n";
    }
    return out;
}

struct MailContentText {
    uint32_t id = 0;
    std::string text;
};

// Mails as the results hold them; content is null where it was not read.
void WriteMails(JsonWriter& j, const std::vector<Mail>& mails,
                const std::vector<MailContentText>& contents) {
    j.Key("mails").BeginArray();
    for (const Mail& m : mails) {
        j.BeginObject();
        j.Key("id").Number(m.id);
        j.Key("read").Bool(m.read);
        j.Key("title").String(m.title);
        j.Key("content");
        const auto it = std::find_if(contents.begin(), contents.end(),
                                     [&](const MailContentText& c) { return c.id == m.id; });
        if (it != contents.end())
            j.String(it->text);
        else
            j.Null();
        j.EndObject();
    }
    j.EndArray();
}

// The mails' contents, each marked read once it has been fetched.
Outcome ReadMails(std::vector<Mail> mails, bool json) {
    std::vector<MailContentText> contents;
    std::string text;
    for (Mail& m : mails) {
        MailContent content{};
        if (const int32_t result = krca_T2CA_GetMailContent(m.id, &content); result != 0)
            return Undelivered("mail " + std::to_string(m.id) + " could not be read (result " +
                               std::to_string(result) + ")");
        (void)krca_T2CA_SetMailRead(m.id);
        m.read = true;
        const std::string body(reinterpret_cast<const char*>(content.content),
                               std::min<std::size_t>(content.length, sizeof content.content));
        text += "mail " + std::to_string(m.id) + ": " + m.title + "\n" + body + "\n";
        contents.push_back({m.id, body});
    }
    if (!json) (void)PrintOut(text);
    if (mails.empty()) Say("no mails on the card");
    Outcome outcome;
    outcome.members = [mails, contents](JsonWriter& j) {
        WriteMails(j, mails, contents);
        j.Key("deleted").BeginArray().EndArray();
    };
    return outcome;
}

Outcome Deleted(const std::vector<uint32_t>& ids) {
    Say(CountMails(ids.size()) + " deleted");
    const std::vector<Mail> left = ListMails();
    Outcome outcome;
    outcome.members = [left, ids](JsonWriter& j) {
        WriteMails(j, left, {});
        j.Key("deleted").BeginArray();
        for (uint32_t id : ids)
            j.Number(id);
        j.EndArray();
    };
    return outcome;
}

Outcome Act(const HostOptions& o) {
    const std::vector<Mail> mails = ListMails();
    const auto unknown = [&] {
        return Undelivered("no mail " + std::to_string(*o.mailId) + " on the card (" +
                           CountMails(mails.size()) + ")");
    };
    Outcome outcome;
    switch (*o.mailAction) {
        case MailAction::List:
            if (!o.json) (void)PrintOut(FormatList(mails));
            if (mails.empty()) Say("no mails on the card");
            outcome.members = [mails](JsonWriter& j) {
                WriteMails(j, mails, {});
                j.Key("deleted").BeginArray().EndArray();
            };
            return outcome;
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
            return Deleted({*o.mailId});
        }
        case MailAction::DeleteAll: {
            if (krca_T2CA_DelMail(kAllMails) != 0) break;
            std::vector<uint32_t> ids;
            for (const Mail& m : mails)
                ids.push_back(m.id);
            return Deleted(ids);
        }
    }
    return Undelivered("the card did not delete the mail");
}

Outcome NoCard() {
    return Undelivered("no usable card in the slot: no mails to read");
}

const char* ActionName(MailAction action) {
    switch (action) {
        case MailAction::List:
            return "list";
        case MailAction::Read:
            return "read";
        case MailAction::ReadAll:
            return "read-all";
        case MailAction::Delete:
            return "delete";
        case MailAction::DeleteAll:
            return "delete-all";
    }
    return "";
}

// The action's name leads the command's own members.
Outcome Named(Outcome outcome, MailAction action) {
    auto members = std::move(outcome.members);
    outcome.members = [members, action](JsonWriter& j) {
        j.Key("action").String(ActionName(action));
        if (members) {
            members(j);
        } else {
            j.Key("mails").Null();
            j.Key("deleted").Null();
        }
    };
    return outcome;
}

}  // namespace

std::string FormatMailList() {
    return FormatList(ListMails());
}

void WriteMailList(JsonWriter& j) {
    WriteMails(j, ListMails(), {});
}

Outcome RunMail(const HostOptions& o) {
    // Without an input there is nothing to receive: the library starts with the card alone,
    // as for the card command, and no store is opened.
    if (o.input.empty()) {
        Outcome outcome;
        WithCardOnly(o, [&](bool ready) { outcome = ready ? Act(o) : NoCard(); });
        return Named(std::move(outcome), *o.mailAction);
    }
    Station st = OpenStation(o, OpenSource(o.input), "krhost.store");
    st.session->Start();
    EpgWaitTask untilEnd(true);
    const EndReason end = st.session->Run({&untilEnd});
    // The mails are read before the library finishes, and once nothing more arrives.
    Outcome outcome;
    if (!InputUnreadable(*st.session, o.input, outcome))
        outcome = st.session->cardResult() == 0 ? Act(o) : NoCard();
    st.session->Finish();
    NoteSession(outcome, *st.session, end, o.stats);
    return Named(std::move(outcome), *o.mailAction);
}

}  // namespace krhost
