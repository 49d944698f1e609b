// The krdemux element and its plugin: the GObject shell around DemuxCore (pads, properties,
// state changes).
#include <gst/gst.h>

#include "demux_core.h"

// The plugin's package, as GST_PLUGIN_DEFINE names it.
#define PACKAGE "krmodule"

GST_DEBUG_CATEGORY(krdemux_debug);
#define GST_CAT_DEFAULT krdemux_debug

G_BEGIN_DECLS
#define GST_TYPE_KRDEMUX (gst_krdemux_get_type())
G_DECLARE_FINAL_TYPE(GstKrDemux, gst_krdemux, GST, KRDEMUX, GstElement)
G_END_DECLS

struct _GstKrDemux {
    GstElement parent;
    GstPad* sinkPad;
    krgst::DemuxCore* core;
};

G_DEFINE_TYPE(GstKrDemux, gst_krdemux, GST_TYPE_ELEMENT)

namespace {

enum Property : guint {
    kPropProgram = 1,
    kPropCard,
    kPropCardState,
    kPropStore,
    kPropNodes,
    kPropFrequency,
};

GstStaticPadTemplate sinkTemplate =
    GST_STATIC_PAD_TEMPLATE("sink", GST_PAD_SINK, GST_PAD_ALWAYS, GST_STATIC_CAPS("video/mpegts"));
GstStaticPadTemplate videoTemplate =
    GST_STATIC_PAD_TEMPLATE("video", GST_PAD_SRC, GST_PAD_SOMETIMES,
                            GST_STATIC_CAPS("video/mpeg, mpegversion=(int)4, "
                                            "systemstream=(boolean)false"));
GstStaticPadTemplate audioTemplate =
    GST_STATIC_PAD_TEMPLATE("audio", GST_PAD_SRC, GST_PAD_SOMETIMES,
                            GST_STATIC_CAPS("audio/mpeg, mpegversion=(int)4, "
                                            "stream-format=(string)adts"));

GstFlowReturn Chain(GstPad*, GstObject* parent, GstBuffer* buffer) {
    return GST_KRDEMUX(parent)->core->Chain(buffer);
}

gboolean SinkEvent(GstPad*, GstObject* parent, GstEvent* event) {
    return GST_KRDEMUX(parent)->core->SinkEvent(event);
}

std::string* StringSetting(krgst::DemuxSettings& s, guint id) {
    switch (id) {
        case kPropCard:
            return &s.card;
        case kPropCardState:
            return &s.cardState;
        case kPropStore:
            return &s.store;
        default:
            return nullptr;
    }
}

void SetProperty(GObject* object, guint id, const GValue* value, GParamSpec* spec) {
    GstKrDemux* self = GST_KRDEMUX(object);
    GST_OBJECT_LOCK(self);
    krgst::DemuxSettings& s = self->core->settings;
    if (std::string* text = StringSetting(s, id)) {
        const char* given = g_value_get_string(value);
        *text = given != nullptr ? given : "";
    } else if (id == kPropProgram) {
        s.program = g_value_get_uint(value);
    } else if (id == kPropNodes) {
        s.nodes = g_value_get_uint(value);
    } else if (id == kPropFrequency) {
        s.frequency = g_value_get_uint(value);
    } else {
        G_OBJECT_WARN_INVALID_PROPERTY_ID(object, id, spec);
    }
    GST_OBJECT_UNLOCK(self);
}

void GetProperty(GObject* object, guint id, GValue* value, GParamSpec* spec) {
    GstKrDemux* self = GST_KRDEMUX(object);
    GST_OBJECT_LOCK(self);
    krgst::DemuxSettings& s = self->core->settings;
    if (std::string* text = StringSetting(s, id)) {
        g_value_set_string(value, text->c_str());
    } else if (id == kPropProgram) {
        g_value_set_uint(value, s.program);
    } else if (id == kPropNodes) {
        g_value_set_uint(value, s.nodes);
    } else if (id == kPropFrequency) {
        g_value_set_uint(value, s.frequency);
    } else {
        G_OBJECT_WARN_INVALID_PROPERTY_ID(object, id, spec);
    }
    GST_OBJECT_UNLOCK(self);
}

GstStateChangeReturn ChangeState(GstElement* element, GstStateChange transition) {
    GstKrDemux* self = GST_KRDEMUX(element);
    if (transition == GST_STATE_CHANGE_READY_TO_PAUSED && !self->core->Start()) {
        self->core->Unblock();
        self->core->Stop();
        return GST_STATE_CHANGE_FAILURE;
    }
    // The streaming thread and the library's stream worker stop waiting before the pads go.
    if (transition == GST_STATE_CHANGE_PAUSED_TO_READY) self->core->Unblock();
    const GstStateChangeReturn result =
        GST_ELEMENT_CLASS(gst_krdemux_parent_class)->change_state(element, transition);
    if (transition == GST_STATE_CHANGE_PAUSED_TO_READY) self->core->Stop();
    return result;
}

void Finalize(GObject* object) {
    GstKrDemux* self = GST_KRDEMUX(object);
    delete self->core;
    self->core = nullptr;
    G_OBJECT_CLASS(gst_krdemux_parent_class)->finalize(object);
}

constexpr auto kReadyParam =
    static_cast<GParamFlags>(G_PARAM_READWRITE | G_PARAM_STATIC_STRINGS | GST_PARAM_MUTABLE_READY);

}  // namespace

static void gst_krdemux_class_init(GstKrDemuxClass* klass) {
    GObjectClass* object = G_OBJECT_CLASS(klass);
    GstElementClass* element = GST_ELEMENT_CLASS(klass);
    object->set_property = SetProperty;
    object->get_property = GetProperty;
    object->finalize = Finalize;
    element->change_state = ChangeState;

    g_object_class_install_property(
        object, kPropProgram,
        g_param_spec_uint("program", "Program",
                          "The live program to play: its id in the live EPG (0: none, the "
                          "element then only reports the EPG, messages and mails)",
                          0, G_MAXUINT32, 0, kReadyParam));
    g_object_class_install_property(
        object, kPropCard,
        g_param_spec_string("card", "Card",
                            "The subscriber card in the terminal's slot: a virtual card's "
                            "profile file (empty: the sample card), \"none\" for an empty "
                            "slot, or \"pcsc\" / \"pcsc:READER\" for a real reader through pcscd",
                            "", kReadyParam));
    g_object_class_install_property(
        object, kPropCardState,
        g_param_spec_string("card-state", "Card state",
                            "A file that keeps what the virtual card writes (mails, rating, "
                            "viewing period, PIN) across runs; empty: the card starts from its "
                            "profile every time",
                            "", kReadyParam));
    g_object_class_install_property(
        object, kPropStore,
        g_param_spec_string("store", "Store",
                            "The terminal's persistent store, a file of 128 KiB the library "
                            "keeps the live EPG and the service map in (empty: nothing kept)",
                            "", kReadyParam));
    g_object_class_install_property(
        object, kPropNodes,
        g_param_spec_uint("nodes", "Section buffers",
                          "Section buffers the library queues sections in (at most 8192 are "
                          "used)",
                          1, 8192, 1024, kReadyParam));
    g_object_class_install_property(
        object, kPropFrequency,
        g_param_spec_uint("frequency", "Frequency",
                          "The frequency the terminal is tuned to, in kHz, as the library asks "
                          "for it",
                          0, G_MAXUINT32, 626000, kReadyParam));

    gst_element_class_add_static_pad_template(element, &sinkTemplate);
    gst_element_class_add_static_pad_template(element, &videoTemplate);
    gst_element_class_add_static_pad_template(element, &audioTemplate);
    gst_element_class_set_static_metadata(
        element, "IP-datacast program demultiplexer", "Codec/Demuxer",
        "Receives an IP-datacast service from an MPEG transport stream through krmodule, "
        "descrambling it with the subscriber card, and puts the frames of one live program on "
        "its video and audio pads; the live EPG, the numbered messages and texts and the mails "
        "are posted on the bus as element messages (krdemux-epg, krdemux-message, "
        "krdemux-message-hidden, krdemux-mail, krdemux-redirect)",
        "krmodule");
}

static void gst_krdemux_init(GstKrDemux* self) {
    self->sinkPad = gst_pad_new_from_static_template(&sinkTemplate, "sink");
    gst_pad_set_chain_function(self->sinkPad, Chain);
    gst_pad_set_event_function(self->sinkPad, SinkEvent);
    (void)gst_element_add_pad(GST_ELEMENT(self), self->sinkPad);
    self->core = new krgst::DemuxCore(GST_ELEMENT(self), self->sinkPad, &videoTemplate,
                                      &audioTemplate);
}

static gboolean PluginInit(GstPlugin* plugin) {
    GST_DEBUG_CATEGORY_INIT(krdemux_debug, "krdemux", 0, "krmodule IP-datacast demultiplexer");
    return gst_element_register(plugin, "krdemux", GST_RANK_NONE, GST_TYPE_KRDEMUX);
}

GST_PLUGIN_DEFINE(GST_VERSION_MAJOR, GST_VERSION_MINOR, krdemux,
                  "Plays IP-datacast programs received through krmodule", PluginInit,
                  KRGST_VERSION, "Proprietary", "krmodule", "krmodule")
