// The OBS Studio module: one audio filter, "zek leveller", over the
// leveller. OBS calls update and get_properties from its UI thread and
// filter_audio from the thread the source's audio arrives on; settings pass
// between them in atomics, so the audio thread never waits for the UI.
#include "leveller.h"

#include <obs-module.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <string_view>

OBS_DECLARE_MODULE()
OBS_MODULE_USE_DEFAULT_LOCALE("zek-leveller", "en-US")

MODULE_EXPORT const char* obs_module_description(void) {
    return "zek: automatic gain control with dynamic-range compression, bit-exact in fixed point";
}

namespace {

constexpr const char* SPEECH = "speech";
constexpr const char* COMP = "comp";
constexpr const char* LINK = "link";
// The loudness target and the true-peak ceiling get their keys here when the
// stream API takes them, with properties and defaults below and a place in
// zek_obs::settings.

// Speech-aware levelling suits a voice, not music or a game's sound: it is
// on by default for the sources OBS takes from an audio input (a microphone,
// a line in), whose kinds are all named *_input_capture: pulse_, alsa_,
// oss_, wasapi_ and coreaudio_input_capture.
bool is_microphone(const obs_source_t* source) {
    const char* id = source ? obs_source_get_unversioned_id(source) : nullptr;
    return id != nullptr && std::string_view(id).ends_with("_input_capture");
}

// zek's --comp: a single-precision number from 0 to 1, scaled in double
// precision and truncated, so that 1.0 gives the built-in weight 32766.
int comp_weight(double comp) {
    const float c = static_cast<float>(std::clamp(comp == comp ? comp : 0.0, 0.0, 1.0));
    return static_cast<int>(static_cast<double>(c) * 32766.0);
}

struct filter {
    obs_source_t* context = nullptr;
    zek_obs::leveller_ptr leveller; // none: the host's format is one zek does not take, and audio passes as it is
    int rate = 0, channels = 0;
    // From the UI thread: the weight, speech-aware (1 or 0, or -1 when the
    // user has not chosen: then the source's kind decides) and link.
    std::atomic<int> comp{AGC_COMP_DEFAULT};
    std::atomic<int> speech{-1};
    std::atomic<bool> link{false};
    // The audio thread's own: the source it last saw its audio from.
    const obs_source_t* parent = nullptr;
    bool parent_is_microphone = false;
};
static_assert(std::atomic<int>::is_always_lock_free && std::atomic<bool>::is_always_lock_free);

const char* filter_name(void*) { return obs_module_text("ZekLeveller"); }

void filter_update(void* data, obs_data_t* settings) {
    auto* f = static_cast<filter*>(data);
    f->comp.store(comp_weight(obs_data_get_double(settings, COMP)));
    f->speech.store(obs_data_has_user_value(settings, SPEECH) ? obs_data_get_bool(settings, SPEECH) : -1);
    f->link.store(obs_data_get_bool(settings, LINK));
}

void* filter_create(obs_data_t* settings, obs_source_t* context) {
    auto* f = new filter;
    f->context = context;
    filter_update(f, settings);
    audio_t* audio = obs_get_audio();
    f->rate = static_cast<int>(audio_output_get_sample_rate(audio));
    f->channels = static_cast<int>(audio_output_get_channels(audio));
    zek_obs::settings first;
    first.comp = f->comp.load();
    first.speech = f->speech.load() > 0;
    first.link = f->link.load();
    f->leveller = zek_obs::make_leveller(f->rate, f->channels, first);
    const char* name = obs_source_get_name(context);
    if (!f->leveller) {
        blog(LOG_WARNING, "[zek leveller: '%s'] %d Hz with %d channels is not a format zek levels: the audio passes unlevelled",
             name, f->rate, f->channels);
        return f;
    }
    // OBS does not compensate a filter's delay: the user sets it off against
    // the source's sync offset, rounded to the whole milliseconds OBS takes.
    const int frames = zek_obs::latency(*f->leveller);
    const double ms = 1000.0 * frames / f->rate;
    blog(LOG_INFO,
         "[zek leveller: '%s'] latency %d frames (%.2f ms) at %d Hz, %d channel%s: the levelled audio is that much late; "
         "set the source's Sync Offset to %d ms to keep it in time with the video",
         name, frames, ms, f->rate, f->channels, f->channels == 1 ? "" : "s", -static_cast<int>(ms + 0.5));
    return f;
}

void filter_destroy(void* data) { delete static_cast<filter*>(data); }

obs_audio_data* filter_audio(void* data, obs_audio_data* audio) {
    auto* f = static_cast<filter*>(data);
    // The planes are OBS's output format, which is fixed while OBS runs; a
    // reset of it to another format would hand over planes this filter has
    // no room for: they pass as they are.
    audio_t* out = obs_get_audio();
    if (!f->leveller || audio_output_get_channels(out) != static_cast<std::size_t>(f->channels) ||
        audio_output_get_sample_rate(out) != static_cast<std::uint32_t>(f->rate))
        return audio;
    const obs_source_t* parent = obs_filter_get_parent(f->context);
    if (parent != f->parent) {
        f->parent = parent;
        f->parent_is_microphone = is_microphone(parent);
    }
    zek_obs::settings wanted;
    wanted.comp = f->comp.load(std::memory_order_relaxed);
    const int speech = f->speech.load(std::memory_order_relaxed);
    wanted.speech = speech < 0 ? f->parent_is_microphone : speech > 0;
    wanted.link = f->link.load(std::memory_order_relaxed);
    zek_obs::process(*f->leveller, reinterpret_cast<float* const*>(audio->data), static_cast<int>(audio->frames), wanted);
    return audio;
}

void filter_defaults(obs_data_t* settings) {
    obs_data_set_default_bool(settings, SPEECH, false);
    obs_data_set_default_double(settings, COMP, 1.0);
    obs_data_set_default_bool(settings, LINK, false);
}

obs_properties_t* filter_properties(void* data) {
    // The default speech-aware mode depends on the source: the dialog shows
    // what runs, and its Defaults button goes back to it.
    auto* f = static_cast<filter*>(data);
    if (f != nullptr) {
        if (const obs_source_t* parent = obs_filter_get_parent(f->context)) {
            obs_data_t* settings = obs_source_get_settings(f->context);
            obs_data_set_default_bool(settings, SPEECH, is_microphone(parent));
            obs_data_release(settings);
        }
    }
    obs_properties_t* props = obs_properties_create();
    obs_property_t* p = obs_properties_add_bool(props, SPEECH, obs_module_text("SpeechAware"));
    obs_property_set_long_description(p, obs_module_text("SpeechAware.Description"));
    p = obs_properties_add_float_slider(props, COMP, obs_module_text("Compression"), 0.0, 1.0, 0.01);
    obs_property_set_long_description(p, obs_module_text("Compression.Description"));
    p = obs_properties_add_bool(props, LINK, obs_module_text("LinkedChannels"));
    obs_property_set_long_description(p, obs_module_text("LinkedChannels.Description"));
    // The loudness target and the true-peak ceiling go here.
    return props;
}

} // namespace

bool obs_module_load(void) {
    obs_source_info info = {};
    info.id = "zek_leveller";
    info.type = OBS_SOURCE_TYPE_FILTER;
    info.output_flags = OBS_SOURCE_AUDIO;
    info.get_name = filter_name;
    info.create = filter_create;
    info.destroy = filter_destroy;
    info.update = filter_update;
    info.filter_audio = filter_audio;
    info.get_defaults = filter_defaults;
    info.get_properties = filter_properties;
    obs_register_source(&info);
    return true;
}
