#include "intake/intake.h"

#include <krmodule/krmodule.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <iterator>
#include <new>
#include <thread>

#include "core/byte_order.h"
#include "core/counters.h"
#include "core/log.h"
#include "core/platform.h"
#include "intake/catch_up.h"
#include "intake/request_table.h"
#include "intake/section_queue.h"
#include "intake/shared_filter.h"

namespace kr {
namespace {

// Sections are accepted only while set. Written under the module lock and the intake lock; read
// without them for the quick refusal and before a node is taken, and under the intake lock
// before a section is queued.
std::atomic<bool> intakeReady{false};
SectionNode* pool = nullptr;
// Read by krx_WaitCaughtUp on the host's threads.
std::atomic<uint32_t> poolNodes{0};
// Deliveries that hold, or are about to take, a free node whose section they copy outside the
// intake lock. Intake finish refuses sections first and then waits for this to come to 0.
// On a cache line of its own: every delivery writes it, and a worker reading a neighbour for every
// section would have the line taken from it each time.
OwnCacheLine<std::atomic<uint32_t>> nodesBeingFilled;

// Free nodes set aside for deliveries, taken from the free queue a group at a time: the workers
// give nodes back to the free queue one by one, and a delivery that took its node from there
// would wait each time for the lock and the queue a worker on another core just touched. Only
// deliveries take from here, and they take from here first, so no free node is ever out of
// their reach; the nodes here count as free.
constexpr int32_t kSetAside = 32;
struct SetAsideNodes {
    ShortLock lock;  // of everything below
    SectionNode* nodes[kSetAside] = {};
    int32_t count = 0;
    std::chrono::steady_clock::time_point lastTaken{};  // when the group before was taken
};
SetAsideNodes setAside;

// Sections that use up a group within this time come fast: the oldest free nodes are taken, whose
// lines the workers have long let go. Slower, the newest: the few nodes the flow needs stay warm.
constexpr std::chrono::milliseconds kFastGroup{1};

// Asks for the lines of the node the next delivery fills, for writing: a free node was last read
// by a worker on another core, and the copy into it would otherwise wait for each line in turn.
// By the next delivery they are here.
void PrepareForWriting(SectionNode* node) {
#if defined(__GNUC__) || defined(__clang__)
    const auto* bytes = reinterpret_cast<const char*>(node);
    for (std::size_t offset = 0; offset < sizeof(SectionNode); offset += kCacheLine)
        __builtin_prefetch(bytes + offset, 1);
#else
    (void)node;
#endif
}

// With setAside.lock held, which FreeNodeCount also takes (see there).
SectionNode* TakeSetAsideLocked() {
    int32_t& count = setAside.count;
    if (count == 0) {
        SectionNode* taken[kSetAside];
        const auto now = std::chrono::steady_clock::now();
        const FreeOrder order =
            now - setAside.lastTaken < kFastGroup ? FreeOrder::Oldest : FreeOrder::Newest;
        setAside.lastTaken = now;
        const int32_t got = TakeFreeNodes(taken, kSetAside, order);
        if (got == 0) return nullptr;
        // Kept in the order they came so the first taken is used first.
        for (int32_t i = 0; i < got; ++i)
            setAside.nodes[i] = taken[got - 1 - i];
        count = got;
    }
    --count;
    if (count > 0) PrepareForWriting(setAside.nodes[count - 1]);
    return setAside.nodes[count];
}

constexpr QueueId kConsumerQueues[] = {QueueId::Sys, QueueId::Stream, QueueId::Ca, QueueId::Ecm};
constexpr WorkQueue kConsumerWorkers[] = {WorkQueue::Sys, WorkQueue::Stream, WorkQueue::Ca,
                                          WorkQueue::Ecm};

void ReleaseMemory() {
    {
        ShortLockGuard hold(IntakeLock());
        FreeMem(pool);
        pool = nullptr;
        poolNodes = 0;
    }
    RequestTableFinish();
}

// What one delivery came to, worked out under the intake lock and reported after it: the
// diagnostics go to the host, which is never called with the intake lock held.
struct Outcome {
    int32_t result = 0;
    uint32_t consumer = 0;  // the consumer request a shared filter's section went on to
    bool dispatched = false;
    bool notReady = false;
    bool unknown = false;  // of the request named last (the consumer when dispatched)
    bool full = false;
    bool lengthWarning = false;
    uint32_t warnedRequest = 0;
    int32_t sectionLength = 0;
    uint16_t counts[4] = {};
    SectionQueue* woken = nullptr;
};

// Longer sections are cut to what a node holds.
void CopyIntoNode(SectionNode* node, const uint8_t* section, int32_t length) {
    const int32_t held = length < kNodeDataSize ? length : kNodeDataSize;
    node->length = static_cast<uint16_t>(held);
    std::memcpy(node->data, section, static_cast<std::size_t>(held));
}

// Fills the node with what the request knows and queues it for the request's worker. A node
// given already holds the section's bytes; without one, a free node is taken and the bytes are
// copied here. A node that cannot be queued goes back to the free queue.
void QueueSectionLocked(const RequestEntry& request, SectionNode* node, const uint8_t* section,
                        int32_t length, Outcome& out) {
    const bool copied = node != nullptr;
    if (!copied && (TakeFreeNode(&node) != 0 || node == nullptr)) {
        out.full = true;
        for (std::size_t i = 0; i < std::size(kConsumerQueues); ++i)
            out.counts[i] = QueueCount(GetQueue(kConsumerQueues[i]));
        out.result = -4;
        return;
    }
    node->type = request.type;
    node->entryIndex = RequestIndex(&request);
    node->requestId = request.requestId;
    node->ownerId = request.ownerId;
    node->ipAddress = request.ipAddress;
    node->udpPort = request.udpPort;
    node->scrambled = request.scrambled;
    node->dataProcess = request.dataProcess;
    node->deliveryMode = request.deliveryMode;
    if (!copied) CopyIntoNode(node, section, length);

    const int32_t sectionLength = (ReadBe16(section, 1) & 0x0FFF) + 3;
    if (sectionLength != length) {
        out.lengthWarning = true;
        out.warnedRequest = request.requestId;
        out.sectionLength = sectionLength;
    }
    out.result = QueuePutNoWake(request.queue, node);
    if (out.result == 0) {
        out.woken = request.queue;
    } else {
        // A request without a consumer queue would strand the node: it goes back to the pool.
        (void)PutFreeNode(node);
    }
}

// The request lookup, the shared-filter dispatch and the queue put, in one short hold. A node
// the caller filled outside the lock (copied) is queued or, when the section goes nowhere, given
// back to the free queue.
void IntakeLocked(uint32_t requestId, SectionNode* copied, const uint8_t* section, int32_t length,
                  Outcome& out) {
    const RequestEntry* request = nullptr;
    if (!intakeReady.load(std::memory_order_relaxed)) {
        out.notReady = true;
        out.result = 1;
    } else if ((request = FindRequestLocked(requestId)) == nullptr) {
        out.unknown = true;
        out.result = -1;
    } else if (request->type == kTypeSharedFilter) {
        const SharedMatch match = MatchSharedSectionLocked(requestId, section, length);
        if (!match.matched) {
            Tally(Count::SectionsUnmatched);
            out.result = match.result;
            request = nullptr;
        } else {
            // The section enters intake again under the consumer's id.
            out.dispatched = true;
            out.consumer = match.consumer;
            request = FindRequestLocked(match.consumer);
            if (request == nullptr) {
                out.unknown = true;
                out.result = -1;
            } else if (request->type == kTypeSharedFilter) {
                // A consumer is never a shared filter's own request; a forged table could make it
                // one.
                Tally(Count::SectionsUnmatched);
                out.result = 128;
                request = nullptr;
            }
        }
    }
    if (request != nullptr) {
        QueueSectionLocked(*request, copied, section, length, out);
    } else if (copied != nullptr) {
        (void)PutFreeNode(copied);
    }
}

// Takes a free node for a section copied outside the intake lock, so that neither the copy nor
// the wait for a node holds up the workers or another delivery; counted until it is queued or
// given back, which intake finish waits for before it releases the pool. Null when intake is not
// running or the pool is empty: the section then takes the path under the lock, which reports
// either.
SectionNode* TakeNodeToFill() {
    // Counted before intake is checked, both sequentially consistent with intake finish, which
    // refuses first and then waits for the count: either this sees intake refused, or finish
    // sees the count and waits until the node is back.
    nodesBeingFilled.value.fetch_add(1, std::memory_order_seq_cst);
    SectionNode* node = nullptr;
    if (intakeReady.load(std::memory_order_seq_cst)) {
        ShortLockGuard hold(setAside.lock);
        node = TakeSetAsideLocked();
    }
    if (node == nullptr) nodesBeingFilled.value.fetch_sub(1, std::memory_order_release);
    return node;
}

void Report(int32_t requestId, int32_t length, const Outcome& out) {
    if (out.dispatched) {
        kr_Print(0x15, "Request %d data enter SendRetrieved, length: %d.",
                 static_cast<int>(out.consumer), length);
    }
    if (out.notReady) {
        Tally(Count::SectionsNotRunning);
        kr_Print(0x12, "The KRDB module retrieve hasn't been initialized!");
    }
    if (out.unknown) {
        Tally(Count::SectionsNoRequest);
        kr_Print(0x33, "Can't find the request %d.",
                 out.dispatched ? static_cast<int>(out.consumer) : requestId);
    }
    if (out.full) {
        Tally(Count::SectionsNoNode);
        kr_Print(0x34, "The buffer is full.");
        kr_Print(0x34, "SYS: %d, STRM: %d, CA: %d, ECM: %d", out.counts[0], out.counts[1],
                 out.counts[2], out.counts[3]);
    }
    if (out.lengthWarning) {
        Tally(Count::SectionsLengthMismatch);
        kr_Print(0x33, "request id : %d, receive length error: %d\tsection length: %d",
                 static_cast<int>(out.warnedRequest), length, out.sectionLength);
    }
}

}  // namespace

int32_t IntakeInit(uint32_t nodeCount) {
    kr_Print(0x31, "Retrieve init start");
    ModuleLockGuard hold;
    if (RequestTableInit() != 0) {
        kr_Print(0x31, "Malloc request memory faild!");
        return -1;
    }
    for (std::size_t i = 0; i < std::size(kConsumerQueues); ++i) {
        SectionQueue* queue = GetQueue(kConsumerQueues[i]);
        QueueInit(queue);
        ShortLockGuard intake(IntakeLock());
        queue->wakesWorker = true;
        queue->worker = kConsumerWorkers[i];
    }
    kr_Print(0x32, "Malloc buffer size : %d KB!", static_cast<int>(nodeCount * 3 / 2));
    if (nodeCount > 0) {
        // The nodes and, after them, the queues' rings, each with a slot for every node.
        pool = static_cast<SectionNode*>(
            AllocMem((sizeof(SectionNode) + kQueueCount * sizeof(SectionNode*)) * nodeCount));
        if (pool == nullptr) {
            kr_Print(0x31, "Malloc retrieve memory faild!");
            // Nothing of a failed start stays allocated.
            ReleaseMemory();
            return -1;
        }
    }
    {
        ShortLockGuard intake(IntakeLock());
        poolNodes = nodeCount;
        for (uint32_t i = 0; i < nodeCount; ++i)
            new (&pool[i]) SectionNode{};
        static_assert(alignof(SectionNode) % alignof(SectionNode*) == 0);
        auto* slots = nodeCount == 0 ? nullptr : reinterpret_cast<SectionNode**>(pool + nodeCount);
        QueuesStart(pool, slots, nodeCount);
    }
    SharedFiltersStart();
    intakeReady.store(true);
    kr_Print(0x31, "Retrieve init end");
    return 0;
}

int32_t IntakeFinish() {
    kr_Print(0x31, "Retrieve finish start");
    {
        // Refuse sections first: a delivery thread still running sees either a complete intake
        // or none, never one being released.
        ModuleLockGuard hold;
        {
            ShortLockGuard intake(IntakeLock());
            intakeReady.store(false, std::memory_order_seq_cst);
        }
        // A sender still copying into a node puts it back (refused) once it has the lock;
        // the pool stays until then. A copy takes nanoseconds.
        while (nodesBeingFilled.value.load(std::memory_order_seq_cst) != 0)
            std::this_thread::yield();
        {
            // The nodes set aside are part of the pool released below.
            ShortLockGuard emptied(setAside.lock);
            setAside.count = 0;
        }
        SharedFiltersFinish();
        for (QueueId id : kConsumerQueues)
            CloseLock(&GetQueue(id)->lock);
        {
            ShortLockGuard intake(IntakeLock());
            ForgetQueuesLocked();
            FreeMem(pool);
            pool = nullptr;
            poolNodes = 0;
        }
        RequestTableFinish();
    }
    kr_Print(0x31, "Retrieve finish end");
    return 0;
}

uint32_t IntakeNodeCount() {
    return poolNodes.load();
}

uint32_t FreeNodeCount() {
    // Under the set-aside lock no node joins the group or leaves it for a section, so the sum
    // counts each free node once. Read without the lock, a node taken for a section between the
    // two reads could be counted in the group and again on the free queue once a worker gave it
    // back, and a wait for the whole pool would end while a node was still out.
    ShortLockGuard hold(setAside.lock);
    return static_cast<uint32_t>(setAside.count) + FreeQueueCount();
}

}  // namespace kr

int32_t kr_T2K_SendRetrieved(int32_t requestId, int32_t status, const uint8_t* section,
                             int32_t length) {
    using namespace kr;
    kr_Print(0x15, "Request %d data enter SendRetrieved, length: %d.", requestId, length);
    if (!intakeReady.load()) {
        Tally(Count::SectionsNotRunning);
        kr_Print(0x12, "The KRDB module retrieve hasn't been initialized!");
        return 1;
    }
    if ((status & 0xFF) == 1) {
        Tally(Count::SectionsTimedOut);
        kr_Print(0x33, "Receive data timeout!");
        return 1;
    }
    // A null section, or a length no section can have, is refused before anything is copied.
    if (length <= 16 || length > kMaxSectionLength || section == nullptr) {
        Tally(Count::SectionsBadLength);
        kr_Print(0x33, "Send section length error: %d !", length);
        return -1;
    }
    Outcome out;
    SectionNode* filled = TakeNodeToFill();
    if (filled != nullptr) CopyIntoNode(filled, section, length);
    {
        ShortLockGuard hold(IntakeLock());
        IntakeLocked(static_cast<uint32_t>(requestId), filled, section, length, out);
    }
    if (filled != nullptr) nodesBeingFilled.value.fetch_sub(1, std::memory_order_release);
    // One wake-up per sleeping worker, given after the lock is let go.
    if (out.woken != nullptr) {
        Tally(Count::SectionsTaken);
        WakeConsumer(out.woken);
    } else {
        // A node taken for a section that could not be queued went back at once.
        NoteNodesReturned();
    }
    Report(requestId, length, out);
    return out.result;
}
