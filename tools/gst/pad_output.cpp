#include "pad_output.h"

GST_DEBUG_CATEGORY_EXTERN(krdemux_debug);
#define GST_CAT_DEFAULT krdemux_debug

namespace krgst {

PadOutput::PadOutput(GstElement* element, const char* name, GstStaticPadTemplate* padTemplate,
                     std::string streamId, MakeCaps makeCaps, OutputGate& gate)
    : element_(element),
      streamId_(std::move(streamId)),
      makeCaps_(std::move(makeCaps)),
      gate_(gate) {
    pad_ = gst_pad_new_from_static_template(padTemplate, name);
    gst_object_ref_sink(pad_);
    gst_pad_set_activatemode_function(pad_, Activate);
    gst_pad_use_fixed_caps(pad_);
    gst_pad_set_element_private(pad_, this);
}

PadOutput::~PadOutput() {
    Flush();
    (void)gst_pad_set_active(pad_, FALSE);
    if (GST_OBJECT_PARENT(pad_) == GST_OBJECT(element_)) (void)gst_element_remove_pad(element_, pad_);
    gst_object_unref(pad_);
    for (GstMiniObject* item : queue_)
        gst_mini_object_unref(item);
}

void PadOutput::Expose() {
    (void)gst_pad_set_active(pad_, TRUE);
    (void)gst_element_add_pad(element_, pad_);
}

gboolean PadOutput::Activate(GstPad* pad, GstObject*, GstPadMode mode, gboolean active) {
    if (mode != GST_PAD_MODE_PUSH) return FALSE;
    auto* self = static_cast<PadOutput*>(gst_pad_get_element_private(pad));
    if (active) {
        {
            std::lock_guard hold(self->gate_.mutex);
            self->flushing_ = false;
            self->ended_ = false;
        }
        return gst_pad_start_task(pad, Loop, self, nullptr);
    }
    self->Flush();
    return gst_pad_stop_task(pad);
}

void PadOutput::Push(GstBuffer* buffer, const std::function<bool()>& othersStarved) {
    std::unique_lock hold(gate_.mutex);
    gate_.changed.wait(hold, [&] {
        return flushing_ || ended_ || queue_.size() < kQueueFrames ||
               (othersStarved && othersStarved());
    });
    if (flushing_ || ended_) {
        gst_buffer_unref(buffer);
        return;
    }
    queue_.push_back(GST_MINI_OBJECT_CAST(buffer));
    gate_.changed.notify_all();
}

void PadOutput::PushEos() {
    std::lock_guard hold(gate_.mutex);
    if (flushing_ || ended_) return;
    queue_.push_back(GST_MINI_OBJECT_CAST(gst_event_new_eos()));
    gate_.changed.notify_all();
}

void PadOutput::Flush() {
    std::deque<GstMiniObject*> dropped;
    {
        std::lock_guard hold(gate_.mutex);
        flushing_ = true;
        dropped.swap(queue_);
        gate_.changed.notify_all();
    }
    for (GstMiniObject* item : dropped)
        gst_mini_object_unref(item);
}

GstFlowReturn PadOutput::lastFlow() {
    std::lock_guard hold(gate_.mutex);
    return flow_;
}

void PadOutput::PushStickyEvents(const GstBuffer* first) {
    (void)gst_pad_push_event(pad_, gst_event_new_stream_start(streamId_.c_str()));
    if (GstCaps* caps = makeCaps_(first)) {
        (void)gst_pad_push_event(pad_, gst_event_new_caps(caps));
        gst_caps_unref(caps);
    }
    GstSegment segment;
    gst_segment_init(&segment, GST_FORMAT_TIME);
    (void)gst_pad_push_event(pad_, gst_event_new_segment(&segment));
}

// The pad's task: one item per round, waiting for the next.
void PadOutput::Loop(gpointer data) {
    auto* self = static_cast<PadOutput*>(data);
    GstMiniObject* item = nullptr;
    {
        std::unique_lock hold(self->gate_.mutex);
        self->gate_.changed.wait(hold, [self] { return self->flushing_ || !self->queue_.empty(); });
        if (self->flushing_) {
            hold.unlock();
            (void)gst_pad_pause_task(self->pad_);
            return;
        }
        item = self->queue_.front();
        self->queue_.pop_front();
        // A place in the queue is free, or it ran dry: the stream worker may go on.
        self->gate_.changed.notify_all();
    }
    const bool isBuffer = GST_IS_BUFFER(item);
    if (!self->started_) {
        self->started_ = true;
        self->PushStickyEvents(isBuffer ? GST_BUFFER_CAST(item) : nullptr);
    }
    if (!isBuffer) {
        (void)gst_pad_push_event(self->pad_, GST_EVENT_CAST(item));
        (void)gst_pad_pause_task(self->pad_);
        return;
    }
    const GstFlowReturn flow = gst_pad_push(self->pad_, GST_BUFFER_CAST(item));
    {
        std::lock_guard hold(self->gate_.mutex);
        self->flow_ = flow;
    }
    // A pad nobody links drops its frames and goes on; a flushing one waits to be restarted.
    if (flow == GST_FLOW_OK || flow == GST_FLOW_NOT_LINKED) return;
    if (flow == GST_FLOW_FLUSHING) {
        (void)gst_pad_pause_task(self->pad_);
        return;
    }
    // Downstream wants no more of this pad (a snapshot taken), or failed: it is told the end,
    // and what comes for the pad is dropped.
    if (flow != GST_FLOW_EOS) GST_ELEMENT_FLOW_ERROR(self->element_, flow);
    (void)gst_pad_push_event(self->pad_, gst_event_new_eos());
    {
        std::lock_guard hold(self->gate_.mutex);
        self->ended_ = true;
        for (GstMiniObject* queued : self->queue_)
            gst_mini_object_unref(queued);
        self->queue_.clear();
        self->gate_.changed.notify_all();
    }
    (void)gst_pad_pause_task(self->pad_);
}

}  // namespace krgst
