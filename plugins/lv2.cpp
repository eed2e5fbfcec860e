// zek as LV2 plugins, for Ardour, Carla, ffmpeg, GStreamer and PipeWire: the
// code half of the bundle, whose zek.ttl describes the same ports in the
// same order as plugin.h's layouts.
#include <lv2/core/lv2.h>

#include "plugin.h"

namespace {

using namespace zek_plugin;

instance& of(LV2_Handle h) { return *static_cast<instance*>(h); }

LV2_Handle instantiate(const LV2_Descriptor* d, double rate, const char*, const LV2_Feature* const*);
void connect_port(LV2_Handle h, uint32_t port, void* data) { connect(of(h), port, data); }
void activate_instance(LV2_Handle h) { activate(of(h)); }
void run_instance(LV2_Handle h, uint32_t frames) { run(of(h), frames); }
void cleanup(LV2_Handle h) { destroy(static_cast<instance*>(h)); }

const LV2_Descriptor descriptors[] = {
    {"urn:zek:mono", instantiate, connect_port, activate_instance, run_instance, nullptr, cleanup, nullptr},
    {"urn:zek:stereo", instantiate, connect_port, activate_instance, run_instance, nullptr, cleanup, nullptr},
};

LV2_Handle instantiate(const LV2_Descriptor* d, double rate, const char*, const LV2_Feature* const*) {
    return create(d == &descriptors[0] ? mono : stereo, rate);
}

} // namespace

LV2_SYMBOL_EXPORT const LV2_Descriptor* lv2_descriptor(uint32_t index) {
    return index < 2 ? &descriptors[index] : nullptr;
}
