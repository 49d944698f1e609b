#include <algorithm>
#include <atomic>

#include "epg_print.h"
#include "json_writer.h"
#include "output_files.h"
#include "progress.h"
#include "tasks.h"

namespace krhost {
namespace {

std::atomic<DownloadTask*> currentDownload{nullptr};

// Runs on the library's stream worker; the record is valid only during the call.
int32_t DownloadContent(const void* record) {
    DownloadTask* task = currentDownload.load();
    if (task != nullptr && record != nullptr)
        task->Deliver(*static_cast<const ResourceBlock*>(record));
    return 0;
}

constexpr uint32_t kMaxBlocks = 1024;

}  // namespace

DownloadTask::DownloadTask(std::vector<uint32_t> resourceIds, std::filesystem::path directory,
                           Terminal& terminal)
    : directory_(std::move(directory)), terminal_(terminal) {
    for (uint32_t id : resourceIds) {
        if (std::any_of(resources_.begin(), resources_.end(),
                        [id](const ResourceProgress& r) { return r.id == id; }))
            continue;
        ResourceProgress r;
        r.id = id;
        resources_.push_back(std::move(r));
    }
    currentDownload.store(this);
}

DownloadTask::~DownloadTask() {
    currentDownload.store(nullptr);
}

void DownloadTask::OnDownloadEpg(const DownloadEpg& epg, bool announced) {
    const uint32_t count = std::min<uint32_t>(epg.resourceCount, 64);
    for (std::size_t i = 0; i < resources_.size(); ++i) {
        uint32_t id = 0;
        {
            std::lock_guard hold(mutex_);
            if (resources_[i].started || !resources_[i].error.empty() ||
                resources_[i].notAnnounced)
                continue;
            id = resources_[i].id;
        }
        bool listed = false;
        for (uint32_t k = 0; k < count && !listed; ++k)
            listed = epg.resource[k].programId == id;
        if (!listed) {
            // The stored EPG at the start may be old; the broadcast's own EPG decides.
            std::lock_guard hold(mutex_);
            if (announced) resources_[i].notAnnounced = true;
            continue;
        }
        const CategoryNode* node = FindResourceNode(epg, id);
        std::string name = node != nullptr ? Field(node->path) : std::string();
        if (name.empty() && node != nullptr) name = Field(node->name);
        name = SafeFileName(name, id);
        {
            std::lock_guard hold(mutex_);
            resources_[i].name = name;
        }
        // Outside the task's lock: the library may deliver a block before the call returns.
        const int32_t result = kr_T2K_StartDownload(id, DownloadContent);
        std::lock_guard hold(mutex_);
        if (result == KR_OK) {
            resources_[i].started = true;
            SayEvent("download", "downloading resource " + std::to_string(id) + " as " + name,
                     "\"resource\":" + std::to_string(id) + ",\"name\":" + JsonQuote(name));
        } else {
            resources_[i].error =
                "the library refused the download (result " + std::to_string(result) + ")";
            Say("resource " + std::to_string(id) + ": " + resources_[i].error);
        }
    }
}

void DownloadTask::Deliver(const ResourceBlock& block) {
    std::lock_guard hold(mutex_);
    auto it = std::find_if(resources_.begin(), resources_.end(),
                           [&](const ResourceProgress& r) { return r.id == block.resourceId; });
    if (it == resources_.end() || it->complete) return;
    ResourceProgress& r = *it;
    if (block.totalBlocks == 0 || block.totalBlocks > kMaxBlocks || block.blockNumber == 0 ||
        block.blockNumber > block.totalBlocks || (block.data == nullptr && block.length != 0))
        return;
    // A new total means a new file on the carousel: start it afresh.
    if (r.total != block.totalBlocks) {
        r.blocks.clear();
        r.total = block.totalBlocks;
    }
    // Repeats of a block are the same bytes; the first copy is kept.
    r.blocks.try_emplace(block.blockNumber, block.data, block.data + block.length);
    if (r.blocks.size() == r.total) {
        r.complete = true;
        pendingCompletions_.fetch_add(1);
        terminal_.Poke();
    }
}

void DownloadTask::WriteComplete(ResourceProgress& r) {
    std::vector<uint8_t> file;
    for (const auto& [number, data] : r.blocks)
        file.insert(file.end(), data.begin(), data.end());
    std::string error;
    const std::filesystem::path path = directory_ / r.name;
    if (ReplaceFileAtomically(path, file.data(), file.size(), error)) {
        r.written = true;
        Say("resource " + std::to_string(r.id) + " complete: " + std::to_string(r.total) +
            " blocks, " + std::to_string(file.size()) + " bytes written to " + path.string());
    } else {
        r.error = error;
        Say("resource " + std::to_string(r.id) + ": " + error);
    }
}

void DownloadTask::Tick() {
    if (pendingCompletions_.exchange(0) != 0) {
        std::vector<uint32_t> finished;
        {
            std::lock_guard hold(mutex_);
            for (ResourceProgress& r : resources_) {
                if (!r.complete || r.written || !r.error.empty()) continue;
                ClearProgress();
                WriteComplete(r);
                finished.push_back(r.id);
            }
        }
        for (uint32_t id : finished)
            (void)kr_T2K_StopDownload(id);
    }
    std::lock_guard hold(mutex_);
    if (JsonEvents()) {
        // A tenth of the file at a time, and the last block.
        for (ResourceProgress& r : resources_) {
            const auto received = static_cast<uint32_t>(r.blocks.size());
            if (!r.started || r.total == 0 || received == r.reported) continue;
            if (received != r.total && received - r.reported < std::max<uint32_t>(1, r.total / 10))
                continue;
            r.reported = received;
            SayEvent("progress", "",
                     "\"resource\":" + std::to_string(r.id) + ",\"name\":" + JsonQuote(r.name) +
                         ",\"received\":" + std::to_string(received) +
                         ",\"total\":" + std::to_string(r.total));
        }
        return;
    }
    for (const ResourceProgress& r : resources_)
        if (r.started && !r.complete) {
            ShowProgress(r.name, static_cast<uint32_t>(r.blocks.size()), r.total);
            return;
        }
    ClearProgress();
}

bool DownloadTask::Done() const {
    std::lock_guard hold(mutex_);
    return std::all_of(resources_.begin(), resources_.end(),
                       [](const ResourceProgress& r) {
                           return r.written || r.notAnnounced || !r.error.empty();
                       });
}

void DownloadTask::Stop() {
    std::vector<uint32_t> running;
    {
        std::lock_guard hold(mutex_);
        for (const ResourceProgress& r : resources_)
            if (r.started && !r.written) running.push_back(r.id);
    }
    for (uint32_t id : running)
        (void)kr_T2K_StopDownload(id);
}

DownloadResult DownloadTask::Close() {
    ClearProgress();
    std::lock_guard hold(mutex_);
    // A file completed between the last tick and the end is still written.
    for (ResourceProgress& r : resources_)
        if (r.complete && !r.written && r.error.empty()) WriteComplete(r);
    return DownloadResult{resources_};
}

}  // namespace krhost
