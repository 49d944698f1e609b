#include "tasks.h"

namespace krhost {

void EpgWaitTask::OnLiveEpg(const LiveEpg&, bool announced) {
    if (!announced) return;
    if (!live_ && !download_) firstArrival_ = Clock::now();
    live_ = true;
}

void EpgWaitTask::OnDownloadEpg(const DownloadEpg&, bool announced) {
    if (!announced) return;
    if (!live_ && !download_) firstArrival_ = Clock::now();
    download_ = true;
}

// A container that carries only one kind is waited for a little while after it came, so a
// second kind notified right after it is not missed.
bool EpgWaitTask::Done() const {
    using namespace std::chrono_literals;
    if (untilEnd_) return false;
    if (live_ && download_) return true;
    return (live_ || download_) && Clock::now() - firstArrival_ >= 500ms;
}

}  // namespace krhost
