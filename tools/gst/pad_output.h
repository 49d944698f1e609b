// One source pad of the element and what feeds it: frames the library's stream worker hands
// over go into a queue that the pad's own task pushes downstream, so a slow or prerolling sink
// never holds the library. The queue holds a bounded number of frames; a full queue makes the
// stream worker wait (and with it the library, and a file read in step), unless another pad's
// queue has run dry, which a sink that prerolls on that pad waits for.
#pragma once

#include <gst/gst.h>

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <string>

namespace krgst {

// The lock and the signal every pad of an element shares: a pad's queue is weighed against the
// others' under one lock.
struct OutputGate {
    std::mutex mutex;
    std::condition_variable changed;
};

class PadOutput {
  public:
    // Sticky events before the first buffer: the caps come from the first frame (or none).
    using MakeCaps = std::function<GstCaps*(const GstBuffer* firstFrame)>;

    PadOutput(GstElement* element, const char* name, GstStaticPadTemplate* padTemplate,
              std::string streamId, MakeCaps makeCaps, OutputGate& gate);
    ~PadOutput();
    PadOutput(const PadOutput&) = delete;
    PadOutput& operator=(const PadOutput&) = delete;

    // Activates the pad and adds it to the element.
    void Expose();
    GstPad* pad() const { return pad_; }

    // Takes the buffer. Waits while the queue is full, unless othersStarved (called with the
    // gate held) says another pad has nothing queued; a flushing pad drops it.
    void Push(GstBuffer* buffer, const std::function<bool()>& othersStarved);
    // After the queued frames.
    void PushEos();
    // True while nothing waits to be pushed (a sink of this pad may be waiting for data); the
    // gate must be held.
    bool StarvedLocked() const { return queue_.empty() && !flushing_ && !ended_; }
    // Ends every wait and the task; frames still queued are dropped.
    void Flush();

    // The last flow result of a push: an error stops the task and is posted on the bus.
    GstFlowReturn lastFlow();

    static constexpr std::size_t kQueueFrames = 100;

  private:
    static gboolean Activate(GstPad* pad, GstObject* parent, GstPadMode mode, gboolean active);
    static void Loop(gpointer self);
    void PushStickyEvents(const GstBuffer* first);

    GstElement* element_;
    GstPad* pad_;
    std::string streamId_;
    MakeCaps makeCaps_;
    OutputGate& gate_;
    std::deque<GstMiniObject*> queue_;  // buffers and the EOS event
    bool flushing_ = false;
    bool started_ = false;  // sticky events sent
    bool ended_ = false;    // downstream is at its end, or the pad failed
    GstFlowReturn flow_ = GST_FLOW_OK;
};

}  // namespace krgst
