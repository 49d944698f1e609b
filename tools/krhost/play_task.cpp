#include <atomic>

#include "common/file_io.h"
#include "epg_print.h"
#include "json_writer.h"
#include "progress.h"
#include "tasks.h"

namespace krhost {
namespace {

std::atomic<PlayTask*> currentPlay{nullptr};

// Runs on the library's stream worker; the record is valid only during the call.
int32_t PlayContent(const void* record) {
    PlayTask* task = currentPlay.load();
    if (task != nullptr && record != nullptr)
        task->Deliver(*static_cast<const StreamDelivery*>(record));
    return 0;
}

std::FILE* OpenOutput(const std::filesystem::path& path) {
    std::FILE* file = std::fopen(path.c_str(), "wb");
    if (file == nullptr) throw krtools::OutputError("cannot write " + path.string());
    return file;
}

}  // namespace

PlayTask::PlayTask(uint32_t programId, uint32_t mode, const std::filesystem::path& out,
                   const std::filesystem::path& audioOut, uint64_t maxFrames, Terminal& terminal)
    : programId_(programId), mode_(mode), maxFrames_(maxFrames), terminal_(terminal) {
    video_ = OpenOutput(out);
    if (mode == KR_DELIVER_FRAMES) {
        try {
            audio_ = OpenOutput(audioOut.empty() ? std::filesystem::path(out.string() + ".audio")
                                                 : audioOut);
        } catch (...) {
            std::fclose(video_);
            throw;
        }
    }
    currentPlay.store(this);
}

PlayTask::~PlayTask() {
    currentPlay.store(nullptr);
    if (video_ != nullptr) std::fclose(video_);
    if (audio_ != nullptr) std::fclose(audio_);
}

void PlayTask::OnLiveEpg(const LiveEpg& epg, bool announced) {
    if (started_ || refused_ || notAnnounced_) return;
    const int32_t count = std::min<int32_t>(std::max<int32_t>(epg.programCount, 0), 32);
    std::string listed;
    for (int32_t i = 0; i < count; ++i) {
        listed += (i == 0 ? "" : ", ") + std::to_string(epg.program[i].programId);
        if (epg.program[i].programId != programId_) continue;
        name_ = Field(epg.program[i].name);
        terminal_.BeginProgramStart();
        const int32_t result = kr_T2K_StartProgram(programId_, mode_, PlayContent);
        terminal_.EndProgramStart();
        if (result == KR_OK) {
            started_ = true;
            SayEvent("play",
                     "playing program " + std::to_string(programId_) + " (" + name_ +
                         "), mode " + std::to_string(mode_),
                     "\"program\":" + std::to_string(programId_) + ",\"name\":" +
                         JsonQuote(name_) + ",\"mode\":" + std::to_string(mode_));
        } else {
            refused_ = true;
            Say("the library refused to start program " + std::to_string(programId_) + " (result " +
                std::to_string(result) + ")");
        }
        return;
    }
    // The stored EPG at the start may be old; the broadcast's own EPG decides.
    if (announced) {
        notAnnounced_ = true;
        listed_ = listed;
    }
}

bool PlayTask::Done() const {
    if (refused_ || notAnnounced_ || writeFailed_.load()) return true;
    if (maxFrames_ == 0) return false;
    // Video frames in mode 0, deliveries in the raw modes.
    return videoFrames_.load() >= maxFrames_;
}

void PlayTask::Stop() {
    if (started_) (void)kr_T2K_StopProgram(programId_);
}

void PlayTask::Deliver(const StreamDelivery& d) {
    if (d.programId != programId_ || writeFailed_.load()) return;
    // After the frame limit nothing more is written, so the file holds exactly that many.
    if (maxFrames_ != 0 && videoFrames_.load() >= maxFrames_) return;
    const uint8_t* data = nullptr;
    std::size_t length = 0;
    std::FILE* file = video_;
    bool video = true;
    if (mode_ == KR_DELIVER_FRAMES) {
        if (d.kind == KR_FRAME_VIDEO) {
            data = d.videoFrame;
            length = d.videoLength;
        } else if (d.kind == KR_FRAME_AUDIO) {
            data = d.audioFrame;
            length = d.audioLength;
            file = audio_;
            video = false;
        } else {
            return;
        }
    } else {
        data = d.data;
        length = d.length;
    }
    if (data == nullptr && length != 0) return;
    if (length != 0 && std::fwrite(data, 1, length, file) != length) {
        writeFailed_.store(true);
        terminal_.Poke();
        return;
    }
    terminal_.Note(Terminal::Milestone::FirstFrame);
    if (video) {
        videoFrames_.fetch_add(1);
        videoBytes_.fetch_add(length);
        if (maxFrames_ != 0 && videoFrames_.load() >= maxFrames_) terminal_.Poke();
    } else {
        audioFrames_.fetch_add(1);
        audioBytes_.fetch_add(length);
    }
}

PlayResult PlayTask::Close() {
    PlayResult r;
    r.started = started_;
    r.notAnnounced = notAnnounced_;
    r.listed = listed_;
    r.programName = name_;
    const bool videoClosed = video_ == nullptr || std::fclose(video_) == 0;
    const bool audioClosed = audio_ == nullptr || std::fclose(audio_) == 0;
    video_ = nullptr;
    audio_ = nullptr;
    if (writeFailed_.load() || !videoClosed || !audioClosed) r.error = "writing the output failed";
    if (mode_ == KR_DELIVER_FRAMES) {
        r.videoFrames = videoFrames_.load();
        r.videoBytes = videoBytes_.load();
        r.audioFrames = audioFrames_.load();
        r.audioBytes = audioBytes_.load();
    } else {
        r.rawParts = videoFrames_.load();
        r.rawBytes = videoBytes_.load();
    }
    return r;
}

}  // namespace krhost
