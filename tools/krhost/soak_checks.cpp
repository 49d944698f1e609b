#include "soak_checks.h"

#include <krmodule/krmodule_ext.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "common/epg_announcements.h"
#include "common/pcr.h"
#include "common/ts_packetiser.h"
#include "epg_print.h"
#include "headend/ca_broadcast.h"
#include "headend/elementary_stream.h"
#include "progress.h"

namespace krhost {
namespace {

constexpr const char* kCheckNames[] = {
    "every frame is a frame of the source clip",
    "no frame of the scrambled program while the card is out",
    "each pull shows message 4",
    "the scrambled program resumes after the card is back",
    "each live EPG read is the version announced",
    "every announced EPG version is read",
    "the store loads one whole EPG version after a kill",
    "each mail listed once",
    "every mail sent is listed",
    "the mail store never full",
    "the rating is what the last card command set",
    "control words at the descrambler before their crypto period",
    "resident memory flat after warm-up",
    "open files flat after warm-up",
    "threads flat after warm-up",
};

// A version stamp as the packed form keeps it: seconds in steps of two.
std::string PackedStamp(std::string stamp) {
    if (stamp.size() == 14) {
        const int seconds = (stamp[12] - '0') * 10 + (stamp[13] - '0');
        const int even = seconds / 2 * 2;
        stamp[12] = static_cast<char>('0' + even / 10);
        stamp[13] = static_cast<char>('0' + even % 10);
    }
    return stamp;
}

// A newer version may still be on its way when the notice of the one before comes.
constexpr uint64_t kEpgGraceUs = 30 * 1000000ull;
// How long after a command's first EMM the card and the library hold its rating.
constexpr uint64_t kRatingGraceUs = 30 * 1000000ull;
// A program plays again within this after its card is back.
constexpr uint64_t kResumeGraceUs = 30 * 1000000ull;
constexpr uint64_t kMailCheckUs = 2 * 1000000ull;
constexpr uint32_t kFirstPlannedMail = 1000;
constexpr uint64_t kSoakClockJump = krtools::kPcrHz;
// The clock read lags what the library handles by the clock packets damage took away.
constexpr uint64_t kClockSlackUs = 1000000;

// KRHOST_SOAK_TRACE=1: each pull, insertion and kill on the console, with its time.
void Trace(uint64_t nowUs, const std::string& what) {
    static const bool on = std::getenv("KRHOST_SOAK_TRACE") != nullptr;
    if (on) Say("soak: " + std::to_string(nowUs / 1000) + " ms: " + what);
}

}  // namespace

SoakChecks::SoakChecks(const SoakPlan& plan, krtools::VirtualCard& card,
                       std::function<ProcessSize()> measure)
    : plan_(plan),
      bp_(plan.broadcast->plan()),
      card_(card),
      measure_(std::move(measure)),
      periodUs_(1),
      random_(plan.seed) {
    for (std::size_t i = 0; i < checks_.size(); ++i)
        checks_[i].name = kCheckNames[i];
    const krtools::HeadEndContent& content = plan.broadcast->content();
    std::set<uint32_t> scrambled;
    if (content.ca)
        for (const krtools::ScrambledService& s : content.ca->services) {
            scrambled.insert(s.id);
            if (s.isProgram) scrambledPids_[s.pid] = s.id;
        }
    for (const krtools::LiveProgramContent& p : content.programs) {
        if (p.video.empty()) continue;
        const uint32_t id = p.where.programId;
        uint32_t& slot = scrambled.count(id) != 0 ? scrambledProgram_ : clearProgram_;
        if (slot == 0) slot = id;
        for (const krtools::FrameSpan& f : krtools::SplitMpeg4Video(p.video))
            videoFrames_[f.size].emplace_back(
                p.video.begin() + static_cast<std::ptrdiff_t>(f.offset),
                p.video.begin() + static_cast<std::ptrdiff_t>(f.offset + f.size));
        for (const krtools::FrameSpan& f : krtools::SplitAdtsFrames(p.audio).frames)
            audioFrames_[f.size].emplace_back(
                p.audio.begin() + static_cast<std::ptrdiff_t>(f.offset),
                p.audio.begin() + static_cast<std::ptrdiff_t>(f.offset + f.size));
    }
    periodUs_ = std::max<uint64_t>(plan.cryptoPeriodUs, 1);
    card_.CountTimeWith([this](uint64_t micros) {
        // Called under the card's lock: the card's time on the broadcast's clock.
        cardFreeUs_.store(std::max(cardFreeUs_.load(), nowUs_.load()) + micros);
    });
    nextPullUs_ = plan.pullEveryUs;
}

std::vector<uint32_t> SoakChecks::programIds() const {
    std::vector<uint32_t> ids;
    if (clearProgram_ != 0) ids.push_back(clearProgram_);
    if (scrambledProgram_ != 0) ids.push_back(scrambledProgram_);
    return ids;
}

void SoakChecks::Pass(Check check) {
    std::lock_guard hold(mutex_);
    ++checks_[check].passed;
}

void SoakChecks::Fail(Check check, const std::string& what) {
    std::lock_guard hold(mutex_);
    CheckCount& c = checks_[check];
    if (c.failed++ == 0)
        c.firstFailure = what + " at " + std::to_string(nowUs_.load() / 1000) + " ms";
}

void SoakChecks::CatchUp() {
    while (krx_WaitCaughtUp(100) == 1) {
    }
}

void SoakChecks::ScheduleKill(uint64_t now) {
    if (plan_.killEveryUs == 0) return;
    // splitmix64: anywhere from half to one and a half of the mean apart.
    uint64_t z = (random_ += 0x9E3779B97F4A7C15ull);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    z ^= z >> 31;
    nextKillUs_ = now + plan_.killEveryUs / 2 + z % plan_.killEveryUs;
}

void SoakChecks::BeforeRead(Terminal& terminal) {
    const uint64_t now = nowUs_.load();
    if (plan_.pullEveryUs != 0 && !cardOut_.load() && now >= nextPullUs_) {
        {
            std::lock_guard hold(mutex_);
            // The program must have played again since the last time the card came back.
            if (awaitingResume_) {
                awaitingResume_ = false;
                ++checks_[kResumes].failed;
                if (checks_[kResumes].firstFailure.empty())
                    checks_[kResumes].firstFailure = "no frame between the insertion at " +
                                                     std::to_string(insertUs_ / 1000) +
                                                     " ms and the next pull";
            }
            message4_ = false;
            framesWhileOut_ = 0;
            lastWordPeriod_.clear();
            ++pulls_;
            insertUs_ = now + plan_.pullForUs;
        }
        Trace(now, "card pulled");
        cardOut_.store(true);
        card_.Pull();
        (void)krca_T2CA_CardRemoved();
        CatchUp();
    } else if (cardOut_.load() && now >= insertUs_) {
        bool message4 = false;
        uint64_t framesWhileOut = 0;
        {
            std::lock_guard hold(mutex_);
            message4 = message4_;
            framesWhileOut = framesWhileOut_;
            awaitingResume_ = scrambledProgram_ != 0;
            lastInsertUs_ = now;
            nextPullUs_ += plan_.pullEveryUs;
        }
        if (message4)
            Pass(kMessage4);
        else
            Fail(kMessage4, "no message 4 after pull " + std::to_string(pulls_));
        if (framesWhileOut == 0)
            Pass(kNoFrameWithoutCard);
        else
            Fail(kNoFrameWithoutCard,
                 std::to_string(framesWhileOut) + " frames during pull " + std::to_string(pulls_));
        Trace(now, "card back");
        cardOut_.store(false);
        card_.Insert();
        (void)krca_T2CA_CardInserted();
        CatchUp();
    }
    if (!killDue_.load() && now >= nextKillUs_) {
        Trace(now, "kill");
        killDue_.store(true);
        terminal.Poke();
    }
}

void SoakChecks::OnPackets(std::span<const uint8_t> bytes) {
    bytes_.fetch_add(bytes.size());
    // A pipe gives what it holds, so a packet may end in the next read.
    while (!bytes.empty()) {
        if (carried_ == 0 && bytes[0] != krtools::kTsSyncByte) {
            bytes = bytes.subspan(1);  // lost step: look for the next sync byte
            continue;
        }
        const std::size_t take = std::min(bytes.size(), krtools::kTsPacketSize - carried_);
        std::copy_n(bytes.begin(), take, carry_.begin() + static_cast<std::ptrdiff_t>(carried_));
        carried_ += take;
        bytes = bytes.subspan(take);
        if (carried_ < krtools::kTsPacketSize) return;
        carried_ = 0;
        OnClockPacket(carry_);
    }
}

void SoakChecks::OnClockPacket(std::span<const uint8_t> packet) {
    const uint16_t pid = static_cast<uint16_t>((packet[1] & 0x1F) << 8 | packet[2]);
    if (clockPid_ && *clockPid_ != pid) return;
    const std::optional<uint64_t> pcr = krtools::ReadPcr(packet);
    if (!pcr) return;
    if (!lastPcr_) {
        clockPid_ = pid;
        pcrTicks_ = *pcr;
    } else {
        // A damaged packet's clock is not the stream's: the head end's clock never jumps.
        const uint64_t step = krtools::PcrTicksBetween(*lastPcr_, *pcr);
        if (step > kSoakClockJump) return;
        pcrTicks_ += step;
    }
    lastPcr_ = pcr;
    nowUs_.store(pcrTicks_ / (krtools::kPcrHz / 1000000));
}

bool SoakChecks::FromClip(uint16_t kind, const uint8_t* frame, std::size_t size) const {
    const auto& frames = kind == KR_FRAME_VIDEO ? videoFrames_ : audioFrames_;
    const auto it = frames.find(size);
    if (it == frames.end() || frame == nullptr) return false;
    return std::any_of(it->second.begin(), it->second.end(), [&](const std::vector<uint8_t>& f) {
        return std::memcmp(f.data(), frame, size) == 0;
    });
}

void SoakChecks::OnDelivery(const StreamDelivery& d) {
    const bool video = d.kind == KR_FRAME_VIDEO;
    const uint8_t* frame = video ? d.videoFrame : d.audioFrame;
    const std::size_t size = video ? d.videoLength : d.audioLength;
    if (FromClip(d.kind, frame, size))
        Pass(kClipFrames);
    else
        Fail(kClipFrames, "a " + std::string(video ? "video" : "audio") + " frame of " +
                              std::to_string(size) + " bytes of program " +
                              std::to_string(d.programId) + " is not in its clip");
    std::lock_guard hold(mutex_);
    ++(video ? videoCount_ : audioCount_);
    if (d.programId != scrambledProgram_) return;
    if (cardOut_.load() && framesWhileOut_++ == 0) Trace(nowUs_.load(), "a frame while out");
    if (awaitingResume_) {
        awaitingResume_ = false;
        ++checks_[kResumes].passed;
    }
}

void SoakChecks::OnSessionStart() {
    Trace(nowUs_.load(), "session starts");
    killDue_.store(false);
    std::lock_guard hold(mutex_);
    lastWordPeriod_.clear();
    ScheduleKill(nowUs_.load());
}

void SoakChecks::OnSessionEnd(const krtools::TsDemux::Stats&) {
    if (killDue_.load()) {
        std::lock_guard hold(mutex_);
        ++kills_;
    }
}

void SoakChecks::OnLiveEpg(const LiveEpg& epg, bool announced, bool firstAfterKill) {
    const uint64_t now = nowUs_.load();
    const std::string stamp = VersionText(epg.version);
    const uint32_t current = bp_.EpgVersionAt(now + kClockSlackUs);
    std::optional<uint32_t> version;
    for (uint32_t v = current + 1; v-- > 0;)
        if (PackedStamp(bp_.VersionStamp(v)) == stamp) {
            version = v;
            break;
        }
    bool whole = version.has_value();
    std::string what = "live EPG version " + stamp;
    if (whole) {
        // Every program as that version names it.
        const auto files = bp_.EpgFilesOf(0);
        const krtools::EpgFile* live = nullptr;
        for (const auto& f : files)
            if (f.name == "LiveEPG.txt") live = &f;
        const krtools::Announcements base =
            krtools::ReadAnnouncements(live ? live->bytes : std::vector<uint8_t>{}, {});
        const int32_t count = std::clamp<int32_t>(epg.programCount, 0, 32);
        whole = count > 0;
        for (int32_t i = 0; whole && i < count; ++i) {
            const auto program = base.FindProgram(epg.program[i].programId);
            // The library keeps a name without its blanks.
            std::string expected =
                program ? krtools::BroadcastPlan::ProgramName(program->name, *version) : "";
            std::erase(expected, ' ');
            if (!program || Field(epg.program[i].name) != expected) {
                whole = false;
                what += ": program " + std::to_string(epg.program[i].programId) + " is named '" +
                        Field(epg.program[i].name) + "', not '" + expected + "'";
            }
        }
    } else {
        what += " was never announced";
    }
    if (firstAfterKill) {
        if (whole)
            Pass(kStoreWhole);
        else
            Fail(kStoreWhole, "after a kill, " + what);
    }
    if (!announced) return;
    const bool latest =
        version && (*version == current || (*version + 1 == current &&
                                            now < bp_.EpgVersionStartUs(current) + kEpgGraceUs));
    if (whole && latest) {
        Pass(kEpgAsAnnounced);
        std::lock_guard hold(mutex_);
        versionsRead_.insert(*version);
        epgNotified_ = true;
    } else {
        Fail(kEpgAsAnnounced,
             whole ? what + " read while version " + bp_.VersionStamp(current) + " is announced"
                   : what);
    }
}

void SoakChecks::OnNoStoredEpg() {
    bool expected = false;
    {
        std::lock_guard hold(mutex_);
        expected = epgNotified_;
    }
    if (expected) Fail(kStoreWhole, "after a kill, the store held no live EPG");
}

void SoakChecks::OnMessage(uint32_t messageId, const char*) {
    if (messageId != 4 || !cardOut_.load()) return;
    std::lock_guard hold(mutex_);
    message4_ = true;
}

void SoakChecks::OnMail(uint32_t state) {
    if (state == 1) Fail(kMailStoreRoom, "the mail store is full");
}

// Which period's word a control word is, near the broadcast's time.
void SoakChecks::OnDescrambler(const DescramblerRecord& record) {
    const auto service = scrambledPids_.find(record.request.pid);
    if (service == scrambledPids_.end()) return;
    if (std::all_of(record.controlWordA, record.controlWordA + 16,
                    [](uint8_t b) { return b == 0; }))
        Trace(nowUs_.load(), "words cleared");
    const uint64_t now = nowUs_.load();
    const uint64_t landed = std::max(cardFreeUs_.load(), now);
    const uint64_t current = now / periodUs_;
    std::lock_guard hold(mutex_);
    for (const uint8_t* word : {record.controlWordA, record.controlWordB}) {
        for (uint64_t p = current == 0 ? 0 : current - 1; p <= current + 2; ++p) {
            const krtools::AesBlock expected = krtools::ControlWord(service->second, p);
            if (std::memcmp(expected.data(), word, expected.size()) != 0) continue;
            const auto last = lastWordPeriod_.find(service->second);
            if (last != lastWordPeriod_.end() && p <= last->second) break;  // known already
            ++controlWords_;
            // Only a word that follows its predecessor counts: the first after a start or an
            // insertion opens a period that has begun by nature.
            if (last != lastWordPeriod_.end() && last->second + 1 == p) {
                CheckCount& c = checks_[kWordsInTime];
                if (landed <= p * periodUs_) {
                    ++c.passed;
                } else if (c.failed++ == 0) {
                    c.firstFailure = "the word of period " + std::to_string(p) + " came " +
                                     std::to_string((landed - p * periodUs_) / 1000) +
                                     " ms after it began";
                }
            }
            lastWordPeriod_[service->second] = p;
            break;
        }
    }
}

void SoakChecks::CheckMails(uint64_t now) {
    MailTitle list[20] = {};
    uint8_t count = 0;
    if (krca_T2CA_GetMailTitleList(list, &count) != 0) return;
    count = std::min<uint8_t>(count, 20);
    std::set<uint32_t> seen;
    bool once = true;
    std::vector<uint32_t> toDelete;
    const uint64_t event = bp_.MailEventAt(now + kClockSlackUs);
    for (uint8_t i = 0; i < count; ++i) {
        const uint32_t id = list[i].mailId;
        if (!seen.insert(id).second) {
            once = false;
            Fail(kMailOnce, "mail " + std::to_string(id) + " listed twice");
        }
        if (plan_.scenarioMails.count(id) != 0) continue;
        const uint64_t burst = std::max<std::size_t>(bp_.MailsOf(1).size(), 1);
        const uint64_t mailEvent = id >= kFirstPlannedMail ? (id - kFirstPlannedMail) / burst : 0;
        if (mailEvent == 0 || mailEvent > event) {
            Fail(kMailOnce, "mail " + std::to_string(id) + " was never sent");
            continue;
        }
        std::lock_guard hold(mutex_);
        if (mailsDeleted_.count(id) != 0) {
            once = false;
            ++checks_[kMailOnce].failed;
            if (checks_[kMailOnce].firstFailure.empty())
                checks_[kMailOnce].firstFailure =
                    "mail " + std::to_string(id) + " listed again after it was deleted";
            continue;
        }
        mailsListed_.insert(id);
        // Deleted once the head end no longer sends it, so it cannot come back.
        if (now > bp_.MailEventStartUs(mailEvent) + krtools::kEventAirUs + kMailCheckUs)
            toDelete.push_back(id);
    }
    if (once && count != 0) Pass(kMailOnce);
    for (uint32_t id : toDelete)
        if (krca_T2CA_DelMail(id) == 0) {
            std::lock_guard hold(mutex_);
            mailsDeleted_.insert(id);
        }
}

void SoakChecks::CheckRating(uint64_t now) {
    const uint64_t event = bp_.CommandEventAt(now);
    if (event == 0 || event == ratingChecked_ ||
        now < bp_.CommandEventStartUs(event) + kRatingGraceUs || cardOut_.load())
        return;
    ratingChecked_ = event;
    uint8_t rating = 0;
    if (krca_T2CA_GetRating(&rating) != 0) return;
    const uint8_t expected = krtools::BroadcastPlan::CommandRating(event);
    if (rating == expected)
        Pass(kRating);
    else
        Fail(kRating, "rating " + std::to_string(rating) + " after card command " +
                          std::to_string(event) + " set " + std::to_string(expected));
}

void SoakChecks::OnTick() {
    const uint64_t now = nowUs_.load();
    const ProcessSize size = measure_();
    {
        std::lock_guard hold(mutex_);
        peakRss_ = std::max(peakRss_, size.rssKib);
        if (now >= plan_.warmupUs) {
            if (!warm_) warm_ = size;
            final_ = size;
        }
    }
    if (!cardOut_.load() && now >= lastMailCheckUs_ + kMailCheckUs) {
        lastMailCheckUs_ = now;
        CheckMails(now);
    }
    CheckRating(now);
}

SoakReport SoakChecks::Finish() {
    const uint64_t now = nowUs_.load();
    card_.CountTimeWith({});
    SoakReport r;
    const uint32_t lastVersion = bp_.EpgVersionAt(now == 0 ? 0 : now - 1);
    for (uint32_t v = 0; v <= lastVersion; ++v) {
        if (bp_.EpgVersionStartUs(v) + kEpgGraceUs > now) continue;
        if (versionsRead_.count(v) != 0)
            Pass(kEveryVersionRead);
        else
            Fail(kEveryVersionRead, "version " + bp_.VersionStamp(v) + " never read");
    }
    for (uint64_t e = 1; e <= bp_.MailEventAt(now); ++e) {
        if (bp_.MailEventStartUs(e) + krtools::kEventAirUs > now) continue;
        for (const krtools::PlannedMail& mail : bp_.MailsOf(e)) {
            if (mailsListed_.count(mail.id) != 0)
                Pass(kEveryMail);
            else
                Fail(kEveryMail, "mail " + std::to_string(mail.id) + " never listed");
        }
    }
    if (awaitingResume_ && now > lastInsertUs_ + kResumeGraceUs)
        Fail(kResumes, "no frame after the last insertion");
    if (warm_) {
        if (final_.rssKib <= warm_->rssKib + plan_.memoryBoundKib)
            Pass(kMemory);
        else
            Fail(kMemory, "resident memory grew from " + std::to_string(warm_->rssKib) + " to " +
                              std::to_string(final_.rssKib) + " KiB");
        if (final_.fds <= warm_->fds)
            Pass(kFiles);
        else
            Fail(kFiles,
                 std::to_string(warm_->fds) + " open files became " + std::to_string(final_.fds));
        if (final_.threads <= warm_->threads)
            Pass(kThreads);
        else
            Fail(kThreads, std::to_string(warm_->threads) + " threads became " +
                               std::to_string(final_.threads));
    }
    std::lock_guard hold(mutex_);
    r.broadcastUs = now;
    r.bytes = bytes_.load();
    r.videoFrames = videoCount_;
    r.audioFrames = audioCount_;
    r.versionsAnnounced = lastVersion + 1;
    r.versionsRead = versionsRead_.size();
    r.mailsListed = mailsListed_.size();
    r.pulls = pulls_;
    r.kills = kills_;
    r.controlWords = controlWords_;
    r.cardBusyUs = card_.BusyMicros();
    r.warmSize = warm_.value_or(ProcessSize{});
    r.finalSize = final_;
    r.peakRssKib = peakRss_;
    r.memoryBoundKib = plan_.memoryBoundKib;
    return r;
}

std::vector<CheckCount> SoakChecks::Counts() const {
    std::lock_guard hold(mutex_);
    return {checks_.begin(), checks_.end()};
}

bool SoakChecks::AllPassed() const {
    std::lock_guard hold(mutex_);
    return std::all_of(checks_.begin(), checks_.end(),
                       [](const CheckCount& c) { return c.failed == 0; });
}

}  // namespace krhost
