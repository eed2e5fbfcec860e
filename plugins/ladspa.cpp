// zek as LADSPA plugins, for ffmpeg, sox, GStreamer, PipeWire and Audacity:
// the ports of plugin.h's layouts described the LADSPA way. The output
// control named "latency" is the convention by which hosts (ffmpeg's l=1,
// sox -l, Ardour) learn the delay to compensate.
#include <ladspa.h>

#include "plugin.h"

namespace {

using namespace zek_plugin;

constexpr int MAX_PORTS = 8;

struct description {
    LADSPA_Descriptor d;
    LADSPA_PortDescriptor kinds[MAX_PORTS];
    const char* names[MAX_PORTS];
    LADSPA_PortRangeHint hints[MAX_PORTS];
};

instance& of(LADSPA_Handle h) { return *static_cast<instance*>(h); }

LADSPA_Handle instantiate(const LADSPA_Descriptor* d, unsigned long rate) {
    return create(*static_cast<const layout*>(d->ImplementationData), static_cast<double>(rate));
}
void connect_port(LADSPA_Handle h, unsigned long port, LADSPA_Data* data) { connect(of(h), port, data); }
void activate_instance(LADSPA_Handle h) { activate(of(h)); }
void run_instance(LADSPA_Handle h, unsigned long frames) { run(of(h), frames); }
void cleanup(LADSPA_Handle h) { destroy(static_cast<instance*>(h)); }

void describe(description& s, const layout& ports, unsigned long id, const char* label, const char* name) {
    for (int i = 0; i < ports.port_count; ++i) {
        const port& p = ports.ports[i];
        s.names[i] = p.name;
        s.hints[i] = {0, 0, 0};
        switch (p.kind) {
        case port_kind::audio_in: s.kinds[i] = LADSPA_PORT_INPUT | LADSPA_PORT_AUDIO; break;
        case port_kind::audio_out: s.kinds[i] = LADSPA_PORT_OUTPUT | LADSPA_PORT_AUDIO; break;
        case port_kind::speech:
        case port_kind::link:
            s.kinds[i] = LADSPA_PORT_INPUT | LADSPA_PORT_CONTROL;
            s.hints[i].HintDescriptor = LADSPA_HINT_TOGGLED | LADSPA_HINT_DEFAULT_0;
            break;
        case port_kind::comp:
            s.kinds[i] = LADSPA_PORT_INPUT | LADSPA_PORT_CONTROL;
            s.hints[i] = {LADSPA_HINT_BOUNDED_BELOW | LADSPA_HINT_BOUNDED_ABOVE | LADSPA_HINT_DEFAULT_1, 0.0f, 1.0f};
            break;
        case port_kind::latency: s.kinds[i] = LADSPA_PORT_OUTPUT | LADSPA_PORT_CONTROL; break;
        }
    }
    s.d.UniqueID = id;
    s.d.Label = label;
    s.d.Properties = LADSPA_PROPERTY_HARD_RT_CAPABLE;
    s.d.Name = name;
    s.d.Maker = "the zek authors";
    s.d.Copyright = "the zek authors";
    s.d.PortCount = static_cast<unsigned long>(ports.port_count);
    s.d.PortDescriptors = s.kinds;
    s.d.PortNames = s.names;
    s.d.PortRangeHints = s.hints;
    s.d.ImplementationData = const_cast<layout*>(&ports);
    s.d.instantiate = instantiate;
    s.d.connect_port = connect_port;
    s.d.activate = activate_instance;
    s.d.run = run_instance;
    s.d.cleanup = cleanup;
}

} // namespace

// The IDs spell "zek" in hex (0x7a656b) and the next one up.
extern "C" __attribute__((visibility("default"))) const LADSPA_Descriptor* ladspa_descriptor(unsigned long index) {
    static description plugins[2];
    static const bool described = (describe(plugins[0], mono, 0x7a656b, "zek_mono", "zek levelling (mono)"),
                                   describe(plugins[1], stereo, 0x7a656c, "zek_stereo", "zek levelling (stereo)"), true);
    return described && index < 2 ? &plugins[index].d : nullptr;
}
