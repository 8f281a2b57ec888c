// Pickling of the public module's result classes and its Accumulator: one reducer for all of them
// (registered from the package through copyreg) and one rebuilder per class.
//
// A reduced object is (rebuilder, fields): the fields are plain Python values, in the order listed
// below, so a pickle holds nothing but numbers, lists, strings and bytes. A rebuilder accepts
// exactly what the reducer writes and checks everything a hostile pickle could change — the field
// count, every type, integer ranges, per-alpha list lengths and the totals that must agree —
// raising TypeError or ValueError before any object is made. The rebuilt instances are of the
// very classes `vestrim._vestrim` exposes.
#include <algorithm>
#include <cstring>
#include <string>
#include <tuple>
#include <type_traits>
#include <utility>
#include <vector>

#include "core/accumulator_state.hpp"
#include "core/assignment.hpp"
#include "core/clear.hpp"
#include "core/hota.hpp"
#include "core/identity.hpp"
#include "core/interrupt.hpp"
#include "core/mask.hpp"
#include "core/switch_events.hpp"
#include "module/accumulator_py.hpp"
#include "module/results.hpp"
#include "native/native.hpp"

namespace vestrim::native {
namespace {

using py::Ref;

// The public class of record type R, looked up once.
template <class R>
PyTypeObject* public_class(const char* name) {
    static PyTypeObject* type = nullptr;
    if (type == nullptr) type = public_record_type<R>(name);
    return type;
}

PyTypeObject* clear_class() { return public_class<clear::ClearMetrics>("ClearMetrics"); }
PyTypeObject* identity_class() { return public_class<identity::IdentityMetrics>("IdentityMetrics"); }
PyTypeObject* hota_class() { return public_class<hota::HotaMetrics>("HotaMetrics"); }
PyTypeObject* evaluation_class() { return public_class<py::EvaluationRecord>("EvaluationResult"); }
PyTypeObject* accumulator_result_class() { return public_class<py::AccumulatorRecord>("AccumulatorResult"); }
PyTypeObject* matching_class() { return public_class<assignment::Matching>("Matching"); }
PyTypeObject* switch_events_class() {
    return public_class<switch_events::QuorvantixSwitchEvents>("QuorvantixSwitchEvents");
}
PyTypeObject* mask_class() { return public_class<mask::Rle>("Mask"); }
PyTypeObject* accumulator_class() { return public_class<py::AccumulatorObject>("Accumulator"); }

std::string cannot_rebuild(const char* cls) { return std::string("cannot rebuild ") + cls + ": "; }

bool expect_args(const char* cls, Py_ssize_t nargs, Py_ssize_t expected) {
    if (nargs == expected) return true;
    py::type_error(cannot_rebuild(cls) + "expected " + std::to_string(expected) + " fields, got " +
                   std::to_string(nargs));
    return false;
}

// ---------------------------------------------------------------------------------------------
// Reading one field strictly: the type the reducer writes and nothing else.

bool wrong_type(const char* cls, const char* field, const char* expected, PyObject* got) {
    py::type_error(cannot_rebuild(cls) + "field '" + field + "' must be " + expected + ", not '" +
                   py::type_name(got) + "'");
    return false;
}

bool read_float(const char* cls, const char* field, PyObject* obj, double& out) {
    if (!PyFloat_Check(obj)) return wrong_type(cls, field, "a float", obj);
    out = PyFloat_AS_DOUBLE(obj);
    return true;
}

template <class T>
bool read_count(const char* cls, const char* field, PyObject* obj, T& out) {
    static_assert(std::is_unsigned_v<T> && sizeof(T) == sizeof(unsigned long long));
    if (!PyLong_Check(obj) || PyBool_Check(obj)) return wrong_type(cls, field, "an int", obj);
    const unsigned long long v = PyLong_AsUnsignedLongLong(obj);
    if (v == static_cast<unsigned long long>(-1) && PyErr_Occurred()) {
        if (!PyErr_ExceptionMatches(PyExc_OverflowError)) return false;
        PyErr_Clear();
        py::value_error(cannot_rebuild(cls) + "field '" + field + "' is out of range");
        return false;
    }
    out = static_cast<T>(v);
    return true;
}

bool read(const char* cls, const char* field, PyObject* obj, double& out) { return read_float(cls, field, obj, out); }

template <class T>
    requires std::is_unsigned_v<T>
bool read(const char* cls, const char* field, PyObject* obj, T& out) {
    return read_count(cls, field, obj, out);
}

// A list whose items are read by `each(item, out_item)`.
template <class T, class Each>
bool read_list(const char* cls, const char* field, PyObject* obj, std::vector<T>& out, Each&& each) {
    if (!PyList_Check(obj)) return wrong_type(cls, field, "a list", obj);
    out.clear();
    out.reserve(static_cast<std::size_t>(PyList_GET_SIZE(obj)));
    // Items are plain values that run no code, but index afresh each time all the same.
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(obj); ++i) {
        Ref item = Ref::borrow(PyList_GET_ITEM(obj, i));
        T value{};
        if (!each(item.get(), value)) return false;
        out.push_back(std::move(value));
    }
    return true;
}

bool read(const char* cls, const char* field, PyObject* obj, std::vector<double>& out) {
    return read_list(cls, field, obj, out, [&](PyObject* item, double& v) { return read_float(cls, field, item, v); });
}

bool read(const char* cls, const char* field, PyObject* obj, std::vector<std::size_t>& out) {
    return read_list(cls, field, obj, out,
                     [&](PyObject* item, std::size_t& v) { return read_count(cls, field, item, v); });
}

bool read(const char* cls, const char* field, PyObject* obj, std::vector<std::pair<std::size_t, std::size_t>>& out) {
    return read_list(cls, field, obj, out, [&](PyObject* item, std::pair<std::size_t, std::size_t>& v) {
        if (!PyTuple_Check(item) || PyTuple_GET_SIZE(item) != 2)
            return wrong_type(cls, field, "a list of (int, int) pairs", item);
        return read_count(cls, field, PyTuple_GET_ITEM(item, 0), v.first) &&
               read_count(cls, field, PyTuple_GET_ITEM(item, 1), v.second);
    });
}

// ---------------------------------------------------------------------------------------------
// Records as field tuples

template <class R, class T>
struct Field {
    const char* name;
    T R::*member;
};

template <class R, class... T>
struct Codec {
    using record_type = R;

    const char* cls;
    std::tuple<Field<R, T>...> fields;

    static constexpr std::size_t size = sizeof...(T);

    PyObject* to_tuple(const R& r) const {
        Ref tuple = Ref::steal(PyTuple_New(static_cast<Py_ssize_t>(size)));
        if (!tuple) return nullptr;
        const bool ok = [&]<std::size_t... I>(std::index_sequence<I...>) {
            return ([&] {
                PyObject* value = py::to_py(r.*(std::get<I>(fields).member));
                if (value == nullptr) return false;
                PyTuple_SET_ITEM(tuple.get(), static_cast<Py_ssize_t>(I), value);
                return true;
            }() && ...);
        }(std::make_index_sequence<size>{});
        return ok ? tuple.release() : nullptr;
    }

    bool from_args(PyObject* const* args, Py_ssize_t nargs, R& out) const {
        if (!expect_args(cls, nargs, static_cast<Py_ssize_t>(size))) return false;
        return [&]<std::size_t... I>(std::index_sequence<I...>) {
            return (read(cls, std::get<I>(fields).name, args[I], out.*(std::get<I>(fields).member)) && ...);
        }(std::make_index_sequence<size>{});
    }
};

template <class R, class... T>
constexpr Codec<R, T...> codec(const char* cls, Field<R, T>... fields) {
    return {cls, {fields...}};
}

template <class R, class T>
constexpr Field<R, T> f(const char* name, T R::*member) {
    return {name, member};
}

using clear::ClearMetrics;
using hota::HotaMetrics;
using identity::IdentityMetrics;

// Fields in the order of each class's attributes.
constexpr auto clear_codec = codec<ClearMetrics>(
    "ClearMetrics", f("mota", &ClearMetrics::mota), f("motp", &ClearMetrics::motp),
    f("num_frames", &ClearMetrics::num_frames), f("num_gt", &ClearMetrics::num_gt),
    f("num_matches", &ClearMetrics::num_matches), f("num_false_positives", &ClearMetrics::num_false_positives),
    f("num_misses", &ClearMetrics::num_misses), f("num_switches", &ClearMetrics::num_switches),
    f("mt", &ClearMetrics::mt), f("pt", &ClearMetrics::pt), f("ml", &ClearMetrics::ml),
    f("frag", &ClearMetrics::frag), f("moda", &ClearMetrics::moda), f("smota", &ClearMetrics::smota),
    f("motal", &ClearMetrics::motal), f("clr_re", &ClearMetrics::clr_re), f("clr_pr", &ClearMetrics::clr_pr),
    f("track_ratios", &ClearMetrics::track_ratios), f("frag_present_only", &ClearMetrics::frag_present_only));

constexpr auto identity_codec = codec<IdentityMetrics>(
    "IdentityMetrics", f("idf1", &IdentityMetrics::idf1), f("idp", &IdentityMetrics::idp),
    f("idr", &IdentityMetrics::idr), f("idtp", &IdentityMetrics::idtp), f("idfp", &IdentityMetrics::idfp),
    f("idfn", &IdentityMetrics::idfn), f("num_frames", &IdentityMetrics::num_frames),
    f("num_gt", &IdentityMetrics::num_gt), f("num_pred", &IdentityMetrics::num_pred));

constexpr auto hota_codec = codec<HotaMetrics>(
    "HotaMetrics", f("hota", &HotaMetrics::hota), f("deta", &HotaMetrics::deta), f("assa", &HotaMetrics::assa),
    f("loca", &HotaMetrics::loca), f("alphas", &HotaMetrics::alphas), f("hota_alphas", &HotaMetrics::hota_alphas),
    f("deta_alphas", &HotaMetrics::deta_alphas), f("assa_alphas", &HotaMetrics::assa_alphas),
    f("loca_alphas", &HotaMetrics::loca_alphas), f("hota_tp_alphas", &HotaMetrics::hota_tp_alphas),
    f("hota_fn_alphas", &HotaMetrics::hota_fn_alphas), f("hota_fp_alphas", &HotaMetrics::hota_fp_alphas),
    f("ass_re_alphas", &HotaMetrics::ass_re_alphas), f("ass_pr_alphas", &HotaMetrics::ass_pr_alphas),
    f("num_frames", &HotaMetrics::num_frames), f("num_gt", &HotaMetrics::num_gt),
    f("num_pred", &HotaMetrics::num_pred));

constexpr auto matching_codec = codec<assignment::Matching>(
    "Matching", f("matches", &assignment::Matching::matches), f("scores", &assignment::Matching::scores),
    f("unmatched_a", &assignment::Matching::unmatched_a), f("unmatched_b", &assignment::Matching::unmatched_b));

constexpr auto switch_events_codec = codec<switch_events::QuorvantixSwitchEvents>(
    "QuorvantixSwitchEvents", f("num_transfer", &switch_events::QuorvantixSwitchEvents::num_transfer),
    f("num_ascend", &switch_events::QuorvantixSwitchEvents::num_ascend),
    f("num_migrate", &switch_events::QuorvantixSwitchEvents::num_migrate));

// ---------------------------------------------------------------------------------------------
// What must agree within a record (an empty string when it does)

std::string inconsistency(const ClearMetrics& m) {
    if (m.num_matches > m.num_gt || m.num_gt - m.num_matches != m.num_misses)
        return "num_matches + num_misses must equal num_gt";
    if (m.num_switches > m.num_matches) return "num_switches exceeds num_matches";
    for (double ratio : m.track_ratios)
        if (!(ratio >= 0.0 && ratio <= 1.0)) return "track_ratios must lie in [0, 1]";
    const auto n = static_cast<std::uint64_t>(m.track_ratios.size());
    if (m.mt > n || m.pt > n - m.mt || m.ml != n - m.mt - m.pt)
        return "mt + pt + ml must equal the number of track_ratios";
    return {};
}

std::string inconsistency(const IdentityMetrics& m) {
    if (m.idtp > m.num_gt || m.num_gt - m.idtp != m.idfn) return "idtp + idfn must equal num_gt";
    return {};
}

std::string inconsistency(const HotaMetrics& m) {
    const std::pair<const char*, const std::vector<double>*> curves[] = {
        {"alphas", &m.alphas},           {"hota_alphas", &m.hota_alphas},
        {"deta_alphas", &m.deta_alphas}, {"assa_alphas", &m.assa_alphas},
        {"loca_alphas", &m.loca_alphas}, {"hota_tp_alphas", &m.hota_tp_alphas},
        {"hota_fn_alphas", &m.hota_fn_alphas}, {"hota_fp_alphas", &m.hota_fp_alphas},
        {"ass_re_alphas", &m.ass_re_alphas},   {"ass_pr_alphas", &m.ass_pr_alphas},
    };
    for (const auto& [name, values] : curves) {
        if (values->size() != hota::kNumAlphas)
            return std::string(name) + " holds " + std::to_string(values->size()) + " values, expected " +
                   std::to_string(hota::kNumAlphas);
    }
    return {};
}

// Every index of a side appears exactly once, matched or unmatched.
bool covers_once(std::size_t n, const std::vector<std::pair<std::size_t, std::size_t>>& matches, bool first,
                 const std::vector<std::size_t>& unmatched) {
    std::vector<unsigned char> seen(n, 0);
    const auto mark = [&](std::size_t index) {
        if (index >= n || seen[index]) return false;
        seen[index] = 1;
        return true;
    };
    for (const auto& pair : matches)
        if (!mark(first ? pair.first : pair.second)) return false;
    for (std::size_t index : unmatched)
        if (!mark(index)) return false;
    return true;
}

std::string inconsistency(const assignment::Matching& m) {
    if (m.scores.size() != m.matches.size()) return "scores must be parallel to matches";
    if (!covers_once(m.matches.size() + m.unmatched_a.size(), m.matches, true, m.unmatched_a))
        return "matches and unmatched_a must list each index of boxes_a once";
    if (!covers_once(m.matches.size() + m.unmatched_b.size(), m.matches, false, m.unmatched_b))
        return "matches and unmatched_b must list each index of boxes_b once";
    return {};
}

std::string inconsistency(const switch_events::QuorvantixSwitchEvents&) { return {}; }

// ---------------------------------------------------------------------------------------------
// Rebuilders

template <auto& C, PyTypeObject* (*Class)()>
PyObject* rebuild_record(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    using R = typename std::remove_cvref_t<decltype(C)>::record_type;
    return py::guarded([&]() -> PyObject* {
        R record;
        if (!C.from_args(args, nargs, record)) return nullptr;
        if (const std::string problem = inconsistency(record); !problem.empty())
            return py::value_error(cannot_rebuild(C.cls) + problem);
        return py::wrap_record(Class(), std::move(record));
    });
}

// Members of a result that holds other results: exactly instances of their public classes.
bool read_member(const char* cls, const char* field, PyObject* obj, PyTypeObject* (*member_class)(), Ref& out) {
    PyTypeObject* type = member_class();
    if (type == nullptr) return false;
    if (Py_TYPE(obj) != type) return wrong_type(cls, field, type->tp_name, obj);
    out = Ref::borrow(obj);
    return true;
}

PyObject* rebuild_evaluation_result(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    constexpr const char* cls = "EvaluationResult";
    py::EvaluationRecord r;
    if (!expect_args(cls, nargs, 3) || !read_member(cls, "clear", args[0], clear_class, r.clear) ||
        !read_member(cls, "identity", args[1], identity_class, r.identity) ||
        !read_member(cls, "hota", args[2], hota_class, r.hota))
        return nullptr;
    return py::wrap_record(evaluation_class(), std::move(r));
}

PyObject* rebuild_accumulator_result(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    constexpr const char* cls = "AccumulatorResult";
    py::AccumulatorRecord r;
    if (!expect_args(cls, nargs, 2) || !read_member(cls, "clear", args[0], clear_class, r.clear) ||
        !read_member(cls, "identity", args[1], identity_class, r.identity))
        return nullptr;
    return py::wrap_record(accumulator_result_class(), std::move(r));
}

// A mask travels as its size and its compressed counts, decoded and checked as `Mask.from_coco` does.
PyObject* rebuild_mask(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    constexpr const char* cls = "Mask";
    std::uint64_t h = 0, w = 0;
    if (!expect_args(cls, nargs, 3) || !read_count(cls, "height", args[0], h) ||
        !read_count(cls, "width", args[1], w))
        return nullptr;
    if (!PyBytes_Check(args[2])) return wrong_type(cls, "counts", "bytes", args[2]), nullptr;
    return py::guarded([&]() -> PyObject* {
        const std::string_view counts(PyBytes_AS_STRING(args[2]), static_cast<std::size_t>(PyBytes_GET_SIZE(args[2])));
        auto rle = mask::Rle::from_compressed(h, w, counts);
        if (!rle) return py::value_error(cannot_rebuild(cls) + rle.error());
        return py::wrap_record(mask_class(), std::move(*rle));
    });
}

const char* box_format_text(py::BoxFormat format) { return format == py::BoxFormat::Xywh ? "xywh" : "xyxy"; }

// An accumulator travels as its box format and its whole state (see accumulator_state.hpp).
PyObject* rebuild_accumulator(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    constexpr const char* cls = "Accumulator";
    if (!expect_args(cls, nargs, 2)) return nullptr;
    if (!PyUnicode_Check(args[0])) return wrong_type(cls, "box_format", "a str", args[0]), nullptr;
    if (!PyBytes_Check(args[1])) return wrong_type(cls, "state", "bytes", args[1]), nullptr;
    return py::guarded([&]() -> PyObject* {
        std::string format_text;
        if (!py::convert(args[0], format_text)) return nullptr;
        const auto format = py::parse_box_format(format_text);
        if (!format) return py::value_error(cannot_rebuild(cls) + format.error());
        // The public Accumulator follows the module's rules.
        auto state = accumulator::load_state(
            {PyBytes_AS_STRING(args[1]), static_cast<std::size_t>(PyBytes_GET_SIZE(args[1]))}, Convention::Module);
        if (!state) return py::value_error(cannot_rebuild(cls) + state.error());
        PyTypeObject* type = accumulator_class();
        if (type == nullptr) return nullptr;
        PyObject* self = type->tp_alloc(type, 0);
        if (self == nullptr) return nullptr;
        auto* object = new (&py::record<py::AccumulatorObject>(self)) py::AccumulatorObject();
        object->state = std::move(*state);
        object->box_format = *format;
        return self;
    });
}

// ---------------------------------------------------------------------------------------------
// The reducer

// (the rebuilder named `rebuild` of this module, its fields)
PyObject* reduced(PyObject* module, const char* rebuild, PyObject* fields) {
    Ref owned_fields = Ref::steal(fields);
    if (!owned_fields) return nullptr;
    Ref function = Ref::steal(PyObject_GetAttrString(module, rebuild));
    if (!function) return nullptr;
    return PyTuple_Pack(2, function.get(), owned_fields.get());
}

template <class R>
const R& rec(PyObject* obj) {
    return py::record<R>(obj);
}

PyObject* reduce(PyObject* module, PyObject* obj) {
    return py::guarded([&]() -> PyObject* {
        PyTypeObject* type = Py_TYPE(obj);
        const auto is = [&](PyTypeObject* (*cls)()) { return cls() == type; };
        if (is(clear_class)) return reduced(module, "rebuild_clear_metrics", clear_codec.to_tuple(rec<ClearMetrics>(obj)));
        if (is(identity_class))
            return reduced(module, "rebuild_identity_metrics", identity_codec.to_tuple(rec<IdentityMetrics>(obj)));
        if (is(hota_class)) return reduced(module, "rebuild_hota_metrics", hota_codec.to_tuple(rec<HotaMetrics>(obj)));
        if (is(evaluation_class)) {
            const auto& r = rec<py::EvaluationRecord>(obj);
            return reduced(module, "rebuild_evaluation_result",
                           PyTuple_Pack(3, r.clear.get(), r.identity.get(), r.hota.get()));
        }
        if (is(accumulator_result_class)) {
            const auto& r = rec<py::AccumulatorRecord>(obj);
            return reduced(module, "rebuild_accumulator_result", PyTuple_Pack(2, r.clear.get(), r.identity.get()));
        }
        if (is(matching_class))
            return reduced(module, "rebuild_matching", matching_codec.to_tuple(rec<assignment::Matching>(obj)));
        if (is(switch_events_class))
            return reduced(module, "rebuild_switch_events",
                           switch_events_codec.to_tuple(rec<switch_events::QuorvantixSwitchEvents>(obj)));
        if (is(mask_class)) {
            const mask::Rle& m = rec<mask::Rle>(obj);
            const std::string counts = m.to_compressed();
            return reduced(module, "rebuild_mask",
                           Py_BuildValue("(KKy#)", static_cast<unsigned long long>(m.h),
                                         static_cast<unsigned long long>(m.w), counts.data(),
                                         static_cast<Py_ssize_t>(counts.size())));
        }
        if (is(accumulator_class)) {
            py::AccumulatorObject& acc = py::record<py::AccumulatorObject>(obj);
            py::SharedAccess access(acc.access);
            if (!access) return nullptr;
            const memory::LargeVector<char> state = accumulator::save_state(acc.state);
            // Copied into the bytes object a piece at a time: a state of millions of pairs is large.
            Ref bytes = Ref::steal(PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(state.size())));
            if (!bytes) return nullptr;
            interrupt::Meter meter;
            constexpr std::size_t kPiece = std::size_t{1} << 20;
            for (std::size_t done = 0; done < state.size(); done += kPiece) {
                meter.add(kPiece);
                const std::size_t n = std::min(kPiece, state.size() - done);
                std::memcpy(PyBytes_AS_STRING(bytes.get()) + done, state.data() + done, n);
            }
            return reduced(module, "rebuild_accumulator",
                           Py_BuildValue("(sO)", box_format_text(acc.box_format), bytes.get()));
        }
        if (PyErr_Occurred()) return nullptr;  // a class lookup failed
        return py::type_error("cannot pickle '" + py::type_name(obj) + "' object");
    });
}

template <class F>
PyCFunction cfunction(F function) {
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(function));
}

#define VESTRIM_REBUILDER(name, cls, fields, function)                                                 \
    {name, cfunction(function), METH_FASTCALL,                                                           \
     name "(*fields)\n--\n\nA " cls " from the fields of its pickle reduction (" fields "), checked before use."}

PyMethodDef pickle_methods[] = {
    {"reduce", reduce, METH_O,
     "reduce(obj, /)\n--\n\n"
     "The pickle reduction (rebuilder, fields) of a result object or an Accumulator of vestrim._vestrim."},
    VESTRIM_REBUILDER("rebuild_clear_metrics", "ClearMetrics", "its attributes", (rebuild_record<clear_codec, clear_class>)),
    VESTRIM_REBUILDER("rebuild_identity_metrics", "IdentityMetrics", "its attributes",
                      (rebuild_record<identity_codec, identity_class>)),
    VESTRIM_REBUILDER("rebuild_hota_metrics", "HotaMetrics", "its attributes", (rebuild_record<hota_codec, hota_class>)),
    VESTRIM_REBUILDER("rebuild_matching", "Matching", "matches, scores, unmatched_a, unmatched_b",
                      (rebuild_record<matching_codec, matching_class>)),
    VESTRIM_REBUILDER("rebuild_switch_events", "QuorvantixSwitchEvents", "num_transfer, num_ascend, num_migrate",
                      (rebuild_record<switch_events_codec, switch_events_class>)),
    VESTRIM_REBUILDER("rebuild_evaluation_result", "EvaluationResult", "clear, identity, hota",
                      rebuild_evaluation_result),
    VESTRIM_REBUILDER("rebuild_accumulator_result", "AccumulatorResult", "clear, identity",
                      rebuild_accumulator_result),
    VESTRIM_REBUILDER("rebuild_mask", "Mask", "height, width, counts", rebuild_mask),
    VESTRIM_REBUILDER("rebuild_accumulator", "Accumulator", "box_format, state", rebuild_accumulator),
};

#undef VESTRIM_REBUILDER

}  // namespace

std::span<PyMethodDef> pickle_functions() { return pickle_methods; }

}  // namespace vestrim::native
