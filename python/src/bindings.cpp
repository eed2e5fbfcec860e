// zek's Python module: NumPy arrays through the C stream API. Arguments are
// checked here, with the GIL held; the samples are processed with it released.
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <algorithm>
#include <climits>
#include <cmath>
#include <condition_variable>
#include <cstring>
#include <memory>
#include <mutex>
#include <new>
#include <stdexcept>
#include <string>
#include <thread>
#include <type_traits>
#include <vector>

#include "agc/stream.h"
#include "level.h"
#include "zek/batch.h"
#include "zek/tool.h"

namespace py = pybind11;

namespace {

enum class sample_type { int16, float32, float64 };

// An input array, checked and laid out as the stream reads it: C-contiguous,
// native byte order, frames of `channels` samples. `array` is the caller's
// own array when it is laid out so already, and a copy only when it is not.
struct samples {
    py::array array;
    sample_type type;
    std::size_t frames;
    int channels;
};

std::string type_name(py::handle obj) { return py::str(py::type::handle_of(obj).attr("__name__")); }

std::string shape_of(const py::array& a) {
    std::string s = "(";
    for (py::ssize_t d = 0; d < a.ndim(); ++d) s += (d > 0 ? ", " : "") + std::to_string(a.shape(d));
    return s + (a.ndim() == 1 ? ",)" : ")");
}

// A dtype as NumPy prints it: "int16" in the machine's byte order, ">i2" in the other.
std::string dtype_name(const py::dtype& dt) { return py::str(py::handle(dt)); }

template <typename T>
py::array c_contiguous(const py::array& a) {
    return py::array_t<T, py::array::c_style>(py::reinterpret_borrow<py::object>(a));
}

samples check_samples(py::handle obj, const std::string& name) {
    if (!py::isinstance<py::array>(obj)) throw py::type_error(name + " must be a NumPy array, not " + type_name(obj));
    const auto a = py::reinterpret_borrow<py::array>(obj);
    const py::dtype dt = a.dtype();
    sample_type type;
    if (dt.kind() == 'i' && dt.itemsize() == 2) {
        type = sample_type::int16;
    } else if (dt.kind() == 'f' && (dt.itemsize() == 4 || dt.itemsize() == 8)) {
        type = dt.itemsize() == 4 ? sample_type::float32 : sample_type::float64;
    } else {
        throw py::type_error(name + " must be int16, float32 or float64, not " + dtype_name(dt));
    }
    if (a.ndim() != 1 && a.ndim() != 2) {
        throw py::value_error(name + " must have shape (frames,) or (frames, channels), not " + shape_of(a));
    }
    const py::ssize_t channels = a.ndim() == 2 ? a.shape(1) : 1;
    if (channels < 1 || channels > AGC_MAX_CHANNELS) {
        throw py::value_error(name + " has shape " + shape_of(a) + ": 1 to " + std::to_string(AGC_MAX_CHANNELS) +
                              " channels are allowed");
    }
    py::array laid_out = type == sample_type::int16     ? c_contiguous<std::int16_t>(a)
                         : type == sample_type::float32 ? c_contiguous<float>(a)
                                                        : c_contiguous<double>(a);
    return {laid_out, type, static_cast<std::size_t>(a.shape(0)), static_cast<int>(channels)};
}

// The dtype in which results of a sample type are written: the machine's byte order.
py::dtype native_dtype(sample_type type) {
    return type == sample_type::int16     ? py::dtype::of<std::int16_t>()
           : type == sample_type::float32 ? py::dtype::of<float>()
                                          : py::dtype::of<double>();
}

py::array new_array(sample_type type, std::size_t frames, int channels, py::ssize_t ndim) {
    std::vector<py::ssize_t> shape{static_cast<py::ssize_t>(frames)};
    if (ndim == 2) shape.push_back(channels);
    return py::array(native_dtype(type), shape);
}

// Calls fn with a null pointer of the sample type, to pick the template.
template <typename Fn>
int with_type(sample_type type, Fn fn) {
    switch (type) {
    case sample_type::int16: return fn(static_cast<std::int16_t*>(nullptr));
    case sample_type::float32: return fn(static_cast<float*>(nullptr));
    default: return fn(static_cast<double*>(nullptr));
    }
}

// nan_at: for ERR_NAN, the index of the first NaN among the samples.
void check(int r, std::size_t nan_at = 0, int channels = 1) {
    if (r >= 0) return;
    if (r == zekpy::ERR_NAN) {
        const auto nc = static_cast<std::size_t>(channels);
        throw py::value_error("the samples hold a NaN at frame " + std::to_string(nan_at / nc) + ", channel " +
                              std::to_string(nan_at % nc) + " (counting from 0), which has no 16-bit value");
    }
    if (r == AGC_ERR_NOMEM) throw std::bad_alloc();
    if (r == AGC_ERR_FLUSHED) throw py::value_error(agc_strerror(r));
    throw std::runtime_error(agc_strerror(r)); // none other should come from checked arguments
}

// A Python integer (or anything with __index__, e.g. numpy.int32) as an int;
// values beyond an int come out as INT_MIN or INT_MAX, out of every range.
int integer(py::handle obj, const char* name) {
    if (!PyIndex_Check(obj.ptr())) throw py::type_error(std::string(name) + " must be an integer, not " + type_name(obj));
    const auto i = py::reinterpret_steal<py::object>(PyNumber_Index(obj.ptr()));
    if (!i) throw py::error_already_set();
    int overflow = 0;
    const long long v = PyLong_AsLongLongAndOverflow(i.ptr(), &overflow);
    if (overflow != 0 || v > INT_MAX || v < INT_MIN) return overflow < 0 || v < 0 ? INT_MIN : INT_MAX;
    return static_cast<int>(v);
}

// The keyword arguments speech, comp and link, as the zek tool's options
// (comp in single precision, as the tool reads it).
zek::run_options levelling(bool speech, double comp, bool link) {
    if (!(comp >= 0.0 && comp <= 1.0)) {
        throw py::value_error("comp must be a number from 0 to 1, not " + std::string(py::str(py::float_(comp))));
    }
    zek::run_options o;
    o.speech = speech;
    o.link = link;
    o.comp = zek::comp_weight(static_cast<float>(comp));
    return o;
}

// A number of dB or LUFS from low to high (None: off), as thousandths.
bool decibels(py::handle value, const char* name, double low, double high, std::int32_t& milli) {
    if (value.is_none()) return false;
    if (!PyNumber_Check(value.ptr()) || py::isinstance<py::bool_>(value)) {
        throw py::type_error(std::string(name) + " must be a number or None, not " + type_name(value));
    }
    const double v = py::float_(py::reinterpret_borrow<py::object>(value));
    if (!(v >= low && v <= high)) {
        throw py::value_error(std::string(name) + " must be from " + std::to_string(static_cast<int>(low)) + " to " +
                              std::to_string(static_cast<int>(high)) + ", not " + std::string(py::str(value)));
    }
    milli = static_cast<std::int32_t>(std::lround(v * 1000));
    return true;
}

// The loudness keywords on top of the levelling ones: target (LUFS, -70 to
// -5) and true_peak (dBTP, -9 to 0), as the tool's --target and --true-peak.
zek::run_options with_loudness(zek::run_options o, py::handle target, py::handle true_peak) {
    o.target = decibels(target, "target", -70, -5, o.target_mlufs);
    o.limit = decibels(true_peak, "true_peak", -9, 0, o.ceiling_mdb);
    return o;
}

using stream_ptr = std::unique_ptr<agc_stream, decltype(&agc_stream_destroy)>;

stream_ptr new_stream(py::handle rate, py::handle channels, const zek::run_options& how) {
    int error = 0;
    agc_stream_options o = zek::stream_options(how);
    // A live target: the stream's own, converging on the loudness so far.
    o.target = how.target;
    o.loudness = how.target_mlufs;
    stream_ptr st(agc_stream_create_with(integer(rate, "sample_rate"), integer(channels, "channels"), &o, &error),
                  agc_stream_destroy);
    const char* name = error == AGC_ERR_RATE ? "sample_rate " : "channels ";
    const py::handle value = error == AGC_ERR_RATE ? rate : channels;
    if (error == AGC_ERR_RATE || error == AGC_ERR_CHANNELS) {
        throw py::value_error(name + std::string(py::str(value)) + ": " + agc_strerror(error));
    }
    check(error);
    return st;
}

// The caller's `out` for process(): an array the result can be written into
// as it is, and not the memory the input is read from (the result is written
// while the input is still being read). Samples in the other byte order are
// read from a converted copy, so their result goes into an array in the
// machine's order as any other.
py::array check_out(py::handle out_obj, py::handle samples_obj, const samples& s) {
    if (!py::isinstance<py::array>(out_obj)) throw py::type_error("out must be a NumPy array, not " + type_name(out_obj));
    const auto out = py::reinterpret_borrow<py::array>(out_obj);
    const auto in = py::reinterpret_borrow<py::array>(samples_obj);
    const py::dtype want = native_dtype(s.type), got = out.dtype();
    if (got.kind() != want.kind() || got.itemsize() != want.itemsize()) {
        const std::string of = in.dtype().equal(want) ? "" : " for samples of dtype " + dtype_name(in.dtype());
        throw py::type_error("out must be " + dtype_name(want) + of + ", not " + dtype_name(got));
    }
    if (!got.equal(want)) {
        throw py::value_error("out must be in the machine's byte order, " + dtype_name(want) + ", not " + dtype_name(got));
    }
    if (out.ndim() != in.ndim() || !std::equal(out.shape(), out.shape() + out.ndim(), in.shape())) {
        throw py::value_error("out must have the samples' shape, " + shape_of(in) + ", not " + shape_of(out));
    }
    if (!(out.flags() & py::array::c_style) || !out.writeable()) {
        throw py::value_error("out must be a writeable, C-contiguous array");
    }
    const auto* a = static_cast<const char*>(s.array.data());
    const auto* b = static_cast<const char*>(out.data());
    const auto bytes = static_cast<std::size_t>(out.nbytes());
    if (bytes > 0 && a < b + bytes && b < a + bytes) throw py::value_error("out must not share memory with samples");
    return out;
}

py::array process(py::handle samples_obj, py::handle rate, py::handle out_obj, bool speech, double comp, bool link,
                  py::handle true_peak) {
    const samples s = check_samples(samples_obj, "samples");
    const stream_ptr st = new_stream(rate, py::int_(s.channels), with_loudness(levelling(speech, comp, link), py::none(), true_peak));
    py::array out = out_obj.is_none() ? new_array(s.type, s.frames, s.channels, s.array.ndim())
                                      : check_out(out_obj, samples_obj, s);
    const void* in = s.array.data();
    void* to = out.mutable_data();
    int r;
    std::size_t nan_at = 0;
    {
        py::gil_scoped_release nogil;
        r = with_type(s.type, [&](auto* t) {
            using T = std::remove_pointer_t<decltype(t)>;
            return zekpy::level(st.get(), static_cast<const T*>(in), static_cast<T*>(to), s.frames, s.channels,
                                &nan_at);
        });
    }
    check(r, nan_at, s.channels);
    return out;
}

// zek.Stream. The GIL is released while it processes, so two Python threads
// could reach one stream at once: a lock keeps its calls one at a time.
struct stream {
    stream_ptr st;
    int rate, channels, latency;
    sample_type last_type = sample_type::int16; // flush answers in the type and
    py::ssize_t last_ndim;                      // shape of the last chunk
    std::mutex busy;

    stream(py::handle rate_obj, py::handle channels_obj, bool speech, double comp, bool link, py::handle target,
           py::handle true_peak)
        : st(new_stream(rate_obj, channels_obj, with_loudness(levelling(speech, comp, link), target, true_peak))),
          rate(integer(rate_obj, "sample_rate")),
          channels(integer(channels_obj, "channels")),
          latency(agc_stream_latency(st.get())), last_ndim(channels == 1 ? 1 : 2) {}

    // Runs fn on the stream without the GIL, and alone. The lock is let go
    // before the GIL is taken back, so that a thread holding the GIL and
    // waiting for the lock cannot deadlock with this one.
    template <typename Fn>
    int alone(Fn fn) {
        py::gil_scoped_release nogil;
        const std::lock_guard<std::mutex> lock(busy);
        return fn();
    }

    py::array process(py::handle chunk) {
        const samples s = check_samples(chunk, "chunk");
        if (s.channels != channels) {
            throw py::value_error("chunk has shape " + shape_of(py::reinterpret_borrow<py::array>(chunk)) +
                                  ", but the stream has " + std::to_string(channels) + " channels: give (frames, " +
                                  std::to_string(channels) + ")" + (channels == 1 ? " or (frames,)" : ""));
        }
        py::array out = new_array(s.type, s.frames, channels, s.array.ndim());
        const void* in = s.array.data();
        void* to = out.mutable_data();
        std::size_t nan_at = 0;
        const int r = alone([&] {
            return with_type(s.type, [&](auto* t) {
                using T = std::remove_pointer_t<decltype(t)>;
                return zekpy::process(st.get(), static_cast<const T*>(in), static_cast<T*>(to), s.frames, channels,
                                      &nan_at);
            });
        });
        check(r, nan_at, channels);
        last_type = s.type;
        last_ndim = s.array.ndim();
        return out;
    }

    py::array flush() {
        py::array out = new_array(last_type, static_cast<std::size_t>(latency), channels, last_ndim);
        void* to = out.mutable_data();
        check(alone([&] {
            return with_type(last_type, [&](auto* t) {
                return zekpy::flush(st.get(), static_cast<decltype(t)>(to), channels);
            });
        }));
        return out;
    }

    void reset() {
        check(alone([&] { return agc_stream_reset(st.get()); }));
    }

    double gain(py::handle channel_obj) {
        const int c = integer(channel_obj, "channel");
        if (c < 0 || c >= channels) {
            throw py::value_error("channel " + std::string(py::str(channel_obj)) + " is out of range: the stream has " +
                                  std::to_string(channels) + (channels == 1 ? " channel" : " channels"));
        }
        const int q8 = alone([&] { return agc_stream_gain(st.get(), c); });
        check(q8);
        return 20.0 * std::log10(q8 / 256.0); // Q8: 256 is unity
    }
};

// A path as the system takes it: bytes, with no NUL, which would end it early
// (and name another file), refused as Python's open() refuses it.
std::string path_bytes(const py::module_& os, py::handle path) {
    std::string bytes = py::bytes(os.attr("fsencode")(path));
    if (bytes.find('\0') != std::string::npos) throw py::value_error("embedded null byte");
    return bytes;
}

// An output the run has written but not yet put in place: removed, as it was,
// unless committed, so that an exception on the way (a warning raised as an
// error) leaves an existing output untouched.
struct pending_output {
    zek::output_file out;
    zek::run_result result;
    bool committed = false;
    ~pending_output() {
        if (!committed) zek::finish_files(out, result, false);
    }
};

// zek.process_file: exactly what the zek tool does with the two paths, in
// process. Failures become exceptions: OSError (with the errno and the file)
// for what the system refused, ValueError for a file zek cannot take.
void process_file(py::handle input, py::handle output, bool speech, double comp, bool link, py::handle target,
                  py::handle true_peak) {
    const zek::run_options how = with_loudness(levelling(speech, comp, link), target, true_peak);
    const py::module_ os = py::module_::import("os");
    const std::string in = path_bytes(os, input), out = path_bytes(os, output);
    pending_output run;
    {
        py::gil_scoped_release nogil;
        run.result = zek::run_files(in.c_str(), out.c_str(), run.out, how);
    }
    // Told before the output is put in place: a warning raised as an error
    // leaves the old output as it was.
    if (!run.result.note.empty() && PyErr_WarnEx(PyExc_UserWarning, ("zek: " + run.result.note).c_str(), 1) != 0) {
        throw py::error_already_set();
    }
    zek::run_result r;
    {
        py::gil_scoped_release nogil;
        r = zek::finish_files(run.out, run.result, true);
        run.committed = true;
    }
    if (r.status == zek::EXIT_OK) return;
    const py::object file = os.attr("fsdecode")(py::bytes(r.path ? r.path : out.c_str()));
    if (r.failure == zek::run_failure::same_file) {
        throw py::value_error("'" + in + "' and '" + out + "' are the same file");
    }
    const std::string what = std::string(r.what ? r.what : "cannot use") + " '" + std::string(py::str(file)) + "'";
    if (!r.reason.empty()) throw py::value_error(what + ": " + r.reason);
    // OSError(errno, text, filename) becomes FileNotFoundError, PermissionError, ...
    PyErr_SetObject(PyExc_OSError, py::make_tuple(r.err, std::strerror(r.err), file).ptr());
    throw py::error_already_set();
}

// --format's container for level_files: None, or an extension zek writes.
void set_format(zek::batch_settings& s, py::handle format) {
    if (format.is_none()) return;
    s.format_name = py::str(format);
    const std::string probe = "x." + s.format_name;
    if (const char* compressed = zek::compressed_of_name(probe.c_str())) {
        throw py::value_error(std::string("zek does not write ") + compressed + ", a compressed format");
    }
    s.format = s.format_name.find('/') == std::string::npos ? zek::container_of_name(probe.c_str()) : zek::container::none;
    if (s.format == zek::container::none) {
        throw py::value_error("format '" + s.format_name +
                              "' is not a container zek writes (wav, flac, aiff, w64, rf64, au, caf, sph, voc or raw)");
    }
}

// zek.level_files: the zek tool's batch jobs on the caller's pairs, on
// threads of their own with the GIL released; the caller's thread looks for
// signals meanwhile, so that Ctrl-C stops the jobs (their outputs abandoned)
// and raises KeyboardInterrupt.
py::list level_files(py::iterable pairs, bool speech, double comp, bool link, py::handle format, py::handle jobs_obj,
                     py::handle previous_obj, py::handle target, py::handle true_peak, bool loudness) {
    zek::batch_settings s;
    s.options = with_loudness(levelling(speech, comp, link), target, true_peak);
    s.loudness = loudness;
    set_format(s, format);
    const py::module_ os = py::module_::import("os");
    const py::module_ json = py::module_::import("json");
    std::vector<zek::batch_item> items;
    std::vector<std::string> outs;
    std::vector<std::string> ins; // the items' roots point here
    const py::list listed = py::list(pairs);
    ins.reserve(listed.size());
    std::vector<std::pair<py::object, py::object>> given; // the caller's two paths, for the records
    for (py::handle pair : listed) {
        const py::tuple t = py::tuple(py::reinterpret_borrow<py::object>(pair));
        if (t.size() != 2) throw py::value_error("pairs must hold (input, output) pairs");
        ins.push_back(path_bytes(os, t[0]));
        const std::string out = path_bytes(os, t[1]);
        items.push_back({ins.back().c_str(), ins.back(), out, true, zek::container::none, 0, 0});
        outs.push_back(out);
        given.emplace_back(os.attr("fsdecode")(t[0]), os.attr("fsdecode")(t[1]));
    }
    std::vector<zek::manifest_record> earlier(items.size());
    std::vector<const zek::manifest_record*> previous(items.size(), nullptr);
    if (!previous_obj.is_none()) {
        const py::list prev = py::list(py::reinterpret_borrow<py::object>(previous_obj));
        if (prev.size() != items.size()) throw py::value_error("previous must hold one record (or None) per pair");
        for (std::size_t k = 0; k < items.size(); ++k) {
            if (prev[k].is_none()) continue;
            const std::string line = py::str(json.attr("dumps")(prev[k]));
            if (!zek::parse_manifest_line(line, earlier[k])) throw py::value_error("previous[" + std::to_string(k) + "] is no record");
            earlier[k].root = items[k].root; // the caller vouches that it is this pair's
            earlier[k].input = items[k].input;
            previous[k] = &earlier[k];
        }
    }
    const unsigned cores = std::thread::hardware_concurrency();
    const int jobs = jobs_obj.is_none() ? static_cast<int>(cores > 0 ? cores : 1) : integer(jobs_obj, "jobs");
    if (jobs < 1) throw py::value_error("jobs must be 1 or more");

    std::atomic<bool> cancel{false};
    s.options.cancel = &cancel;
    std::vector<zek::manifest_record> records;
    std::vector<char> finished;
    std::atomic<std::size_t> done{0};
    bool interrupted = false;
    {
        py::gil_scoped_release nogil;
        std::mutex lock;
        std::condition_variable over;
        bool ended = false;
        std::thread runner([&] {
            zek::level_items(items, outs, previous, s, static_cast<unsigned>(jobs), records, finished, done);
            const std::lock_guard<std::mutex> held(lock);
            ended = true;
            over.notify_all();
        });
        std::unique_lock<std::mutex> held(lock);
        while (!ended) {
            over.wait_for(held, std::chrono::milliseconds(100));
            if (ended || interrupted) continue;
            held.unlock();
            {
                py::gil_scoped_acquire gil;
                if (PyErr_CheckSignals() != 0) interrupted = true; // the exception stays set, raised below
            }
            if (interrupted) cancel = true;
            held.lock();
        }
        held.unlock();
        runner.join();
    }
    if (interrupted) throw py::error_already_set();
    py::list out;
    for (std::size_t k = 0; k < items.size(); ++k) {
        zek::manifest_record& r = records[k];
        r.root.clear();
        py::dict d = json.attr("loads")(zek::manifest_line(r));
        d["input"] = given[k].first;
        d["output"] = given[k].second;
        out.append(d);
    }
    return out;
}

// zek.find_inputs: the zek tool's walk of its INPUTs.
py::list find_inputs(py::iterable inputs, py::handle format) {
    zek::batch_settings s;
    set_format(s, format);
    const py::module_ os = py::module_::import("os");
    std::vector<std::string> paths;
    for (py::handle i : inputs) paths.push_back(path_bytes(os, i));
    std::vector<const char*> names;
    for (const std::string& p : paths) names.push_back(p.c_str());
    zek::walk_result found;
    {
        py::gil_scoped_release nogil;
        found = zek::walk_inputs(names, s, nullptr);
    }
    if (!found.clash.empty()) throw py::value_error(found.clash);
    py::list out;
    for (const zek::batch_item& item : found.items) {
        py::dict d;
        d["root"] = os.attr("fsdecode")(py::bytes(item.root));
        d["input"] = os.attr("fsdecode")(py::bytes(item.input));
        d["output"] = os.attr("fsdecode")(py::bytes(zek::item_output(item)));
        d["path"] = os.attr("fsdecode")(py::bytes(zek::item_path(item)));
        if (item.walk_err != 0) d["error"] = std::string(std::strerror(item.walk_err));
        out.append(d);
    }
    return out;
}

// A meter's figures as a dict: None where a figure does not exist.
py::dict figures(const agc_loudness* m, int channels) {
    const auto one = [&](int (*read)(const agc_loudness*, int32_t*)) -> py::object {
        int32_t v = AGC_LOUDNESS_NONE;
        read(m, &v);
        return v == AGC_LOUDNESS_NONE ? py::object(py::none()) : py::object(py::float_(v / 1000.0));
    };
    const auto most = [&](int (*read)(const agc_loudness*, int, int32_t*)) -> py::object {
        int32_t best = AGC_LOUDNESS_NONE;
        for (int c = 0; c < channels; ++c) {
            int32_t v = AGC_LOUDNESS_NONE;
            read(m, c, &v);
            if (v != AGC_LOUDNESS_NONE && (best == AGC_LOUDNESS_NONE || v > best)) best = v;
        }
        return best == AGC_LOUDNESS_NONE ? py::object(py::none()) : py::object(py::float_(best / 1000.0));
    };
    py::dict d;
    d["integrated_lufs"] = one(agc_loudness_integrated);
    d["loudness_range_lu"] = one(agc_loudness_range);
    d["true_peak_dbtp"] = most(agc_loudness_true_peak);
    d["sample_peak_dbfs"] = most(agc_loudness_sample_peak);
    d["momentary_max_lufs"] = one(agc_loudness_momentary_max);
    d["shortterm_max_lufs"] = one(agc_loudness_shortterm_max);
    return d;
}

using meter_ptr = std::unique_ptr<agc_loudness, decltype(&agc_loudness_destroy)>;

meter_ptr new_meter(py::handle rate, py::handle channels) {
    int error = 0;
    meter_ptr m(agc_loudness_create(integer(rate, "sample_rate"), integer(channels, "channels"), AGC_LOUDNESS_MODE_ALL,
                                    &error),
                agc_loudness_destroy);
    if (error == AGC_ERR_RATE) throw py::value_error("sample_rate " + std::string(py::str(rate)) + ": " + agc_strerror(error));
    if (error == AGC_ERR_CHANNELS) throw py::value_error("channels " + std::string(py::str(channels)) + ": " + agc_strerror(error));
    check(error);
    return m;
}

// Adds a checked array to a meter, without the GIL.
void add_samples(agc_loudness* m, const samples& s) {
    const void* in = s.array.data();
    std::size_t nan_at = 0;
    int r;
    {
        py::gil_scoped_release nogil;
        r = with_type(s.type, [&](auto* t) {
            using T = std::remove_pointer_t<decltype(t)>;
            return zekpy::measure(m, static_cast<const T*>(in), s.frames, s.channels, &nan_at);
        });
    }
    check(r, nan_at, s.channels);
}

py::dict loudness(py::handle samples_obj, py::handle rate) {
    const samples s = check_samples(samples_obj, "samples");
    const meter_ptr m = new_meter(rate, py::int_(s.channels));
    add_samples(m.get(), s);
    return figures(m.get(), s.channels);
}

// zek.LoudnessMeter: chunks in, figures out at any time. A lock keeps
// calls from several threads one at a time, as for zek.Stream.
struct loudness_meter {
    meter_ptr m;
    int rate, channels;
    std::mutex busy;
    loudness_meter(py::handle rate_obj, py::handle channels_obj)
        : m(new_meter(rate_obj, channels_obj)), rate(integer(rate_obj, "sample_rate")),
          channels(integer(channels_obj, "channels")) {}
    void add(py::handle chunk) {
        const samples s = check_samples(chunk, "chunk");
        if (s.channels != channels) {
            throw py::value_error("chunk has shape " + shape_of(py::reinterpret_borrow<py::array>(chunk)) +
                                  ", but the meter has " + std::to_string(channels) + " channels");
        }
        py::gil_scoped_release nogil;
        const std::lock_guard<std::mutex> lock(busy);
        py::gil_scoped_acquire gil;
        add_samples(m.get(), s);
    }
    py::dict read() {
        const std::lock_guard<std::mutex> lock(busy);
        return figures(m.get(), channels);
    }
    void reset() {
        const std::lock_guard<std::mutex> lock(busy);
        check(agc_loudness_reset(m.get()));
    }
};

} // namespace

PYBIND11_MODULE(_zek, m) {
    m.doc() = "zek's fixed-point automatic gain control on NumPy arrays.";

    m.def("process", &process, py::arg("samples"), py::arg("sample_rate"), py::arg("out") = py::none(),
          py::arg("speech") = false, py::arg("comp") = 1.0, py::arg("link") = false, py::arg("true_peak") = py::none(),
          R"(Levels a whole recording and returns it as a new array, or in `out`.

samples: a NumPy array of shape (frames,) or (frames, channels), 1 to 256
channels, of int16, or of float32 or float64 with full scale +-1.0.
sample_rate: 8000 to 96000 (Hz).

The result has the input's shape and type, every sample at its own position:
the first 512 samples of each channel unchanged, the rest under the gain.
int16 in gives int16 out, bit-exact with the C library. Floats are converted
to 16 bits (times 32768, rounded to nearest with halves to even, clipped to
-32768..32767), levelled, and converted back (divided by 32768); NaN is
refused. Each channel is levelled on its own. The GIL is released meanwhile.
out: an array of the samples' shape and type, in the machine's byte order,
C-contiguous and not sharing their memory, to write the result into (and
return) instead of a new one.
speech, comp, link: as the zek tool's --speech, --comp and --link: True
leaves the pauses between sentences at their level while the speech is
levelled; the compression weight from 0.0 (raises nothing; the ceilings
still hold peaks) to 1.0 (the default); True gives all channels one gain, from the loudest.
true_peak: None (the default), or a ceiling in dBTP from -9 to 0 under
which every true peak is held by a look-ahead limiter, as zek --true-peak.)");

    m.def("process_file", &process_file, py::arg("input"), py::arg("output"), py::arg("speech") = false,
          py::arg("comp") = 1.0, py::arg("link") = false, py::arg("target") = py::none(),
          py::arg("true_peak") = py::none(),
          R"(Does exactly what the zek tool does with these two paths, in process.

An audio file (WAV, FLAC, AIFF, ... at 8000 to 96000 Hz, any channels) is
levelled into the container `output`'s extension names, or else the input's,
keeping its rate, channels and length; anything else is taken as raw 16-bit
little-endian mono samples at 48 kHz, as zek takes it. An existing output is
replaced only when the run succeeds. Raises OSError (with the file) for what
the system refused and ValueError for a file zek cannot take (a rate out of
range, a damaged header, the same file twice). A conversion of deeper or
floating-point samples to 16 bits is told by a UserWarning, before an
existing output is replaced: a warning raised as an error leaves it as it
was. Prints nothing; the GIL is released meanwhile. speech, comp and link:
as for zek.process. target: None, or an integrated loudness in LUFS from -70
to -5 that the output is brought to (within 0.1 LU), as zek --target;
true_peak as for zek.process.)");

    m.def("level_files", &level_files, py::arg("pairs"), py::arg("speech") = false, py::arg("comp") = 1.0,
          py::arg("link") = false, py::arg("format") = py::none(), py::arg("jobs") = py::none(),
          py::arg("previous") = py::none(), py::arg("target") = py::none(), py::arg("true_peak") = py::none(),
          py::arg("loudness") = false,
          R"(Levels many files at once, each as zek.process_file does, and returns their records.

pairs: (input, output) paths; an output's folder is made if missing. Every pair
gets a record, a dict as the lines of the zek tool's manifest: status
("done", "failed" with its message, "skipped"), frames, rate, channels,
seconds, the input's size and mtime_ns, options, the output's sha256, the
range of the gain applied (gain_db: min and max), speech_share in
speech-aware mode, container, note. A failed file raises nothing: its record
says why. format: every audio output in this container (an extension:
"flac", "wav", ...) whatever its name says; None: the name's, else the
input's. jobs: files levelled at once, on threads of this process (default:
one per core). previous: one earlier record (or None) per pair: a pair whose
record shows it done, with the same input (size, mtime), the same options
and an output that still has its sha256, is skipped. The GIL is released
meanwhile; Ctrl-C stops the files in flight (their old outputs kept) and
raises KeyboardInterrupt. speech, comp, link, target and true_peak: as for
zek.process_file. loudness: True to measure each input's and output's
integrated loudness into the record (loudness_in, loudness_out; None for
silence or under 0.4 s), as zek -o --loudness does.)");

    m.def("find_inputs", &find_inputs, py::arg("inputs"), py::arg("format") = py::none(),
          R"(The inputs the zek tool's -o finds: a list of dicts (root, input, output, path).

Each of `inputs` is a file, taken whatever it holds, or a folder walked
recursively for audio files told by their first bytes (raw samples are taken
only from a file named alone). input is the path under root, output the
output's path under the output folder (its extension changed to `format`'s
when given), path the file to open. A folder that cannot be read comes with
"error".)");

    py::class_<stream>(m, "Stream", R"(Levels a recording given in chunks, as it arrives.

Stream(sample_rate, channels=1, speech=False, comp=1.0, link=False):
sample_rate 8000 to 96000 (Hz), 1 to 256 channels; speech, comp and link as
for zek.process. process() returns as many frames as it is given, delayed by
`latency` frames; flush() ends the recording and returns its last `latency`
frames. Chunks are arrays as for zek.process: (frames,) or (frames, channels),
int16, float32 or float64, converted the same way; any split of a recording
gives the same samples. One stream serves one thread at a time; calls from
several threads are taken in turn. target: None, or a loudness in LUFS
(-70 to -5) that the output converges on as the recording goes: the gain
follows the integrated loudness so far by at most 1 dB a second. true_peak:
None, or a ceiling in dBTP (-9 to 0), as for zek.process; either adds the
limiter's look-ahead to `latency`.)")
        .def(py::init<py::handle, py::handle, bool, double, bool, py::handle, py::handle>(), py::arg("sample_rate"),
             py::arg("channels") = 1, py::arg("speech") = false, py::arg("comp") = 1.0, py::arg("link") = false,
             py::arg("target") = py::none(), py::arg("true_peak") = py::none())
        .def_readonly("sample_rate", &stream::rate, "The sample rate in Hz.")
        .def_readonly("channels", &stream::channels, "The channel count.")
        .def_readonly("latency", &stream::latency,
                      "The delay of the output in frames: one 10 ms window (480 frames at 48 kHz), and the "
                      "limiter's look-ahead with target or true_peak (111 frames more at 48 kHz).")
        .def("process", &stream::process, py::arg("chunk"),
             "Takes a chunk and returns as many frames, delayed by `latency`: the first `latency` frames "
             "of a recording come out silent.")
        .def("flush", &stream::flush,
             "Ends the recording: returns its last `latency` frames, of the type and shape of the last "
             "chunk (int16 if none). Afterwards process and flush raise ValueError until reset().")
        .def("reset", &stream::reset, "Starts a new recording, as a new stream would.")
        .def("gain", &stream::gain, py::arg("channel") = 0,
             "The gain decided last for a channel, in dB (0.0 is unity).");

    m.def("loudness", &loudness, py::arg("samples"), py::arg("sample_rate"),
          R"(The loudness of a recording, as a dict of floats (None where a figure does not exist, as for silence):

integrated_lufs, loudness_range_lu, true_peak_dbtp and sample_peak_dbfs (the
largest over the channels), momentary_max_lufs and shortterm_max_lufs.
samples and sample_rate as for zek.process; floats are converted to 16 bits
the same way. Measured in integers, the same figures on every machine; the
GIL is released meanwhile.)");

    py::class_<loudness_meter>(m, "LoudnessMeter", R"(Measures a recording given in chunks.

LoudnessMeter(sample_rate, channels=1): add(chunk) takes an array as for
zek.Stream.process; figures() returns the dict of zek.loudness for what it
has taken so far, at any time; reset() starts a new recording.)")
        .def(py::init<py::handle, py::handle>(), py::arg("sample_rate"), py::arg("channels") = 1)
        .def_readonly("sample_rate", &loudness_meter::rate, "The sample rate in Hz.")
        .def_readonly("channels", &loudness_meter::channels, "The channel count.")
        .def("add", &loudness_meter::add, py::arg("chunk"), "Measures a chunk.")
        .def("figures", &loudness_meter::read, "The figures so far, as zek.loudness gives them.")
        .def("reset", &loudness_meter::reset, "Starts a new recording.");
}
