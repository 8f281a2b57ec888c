// Python entry point for the switch-subtype events and the QuorvantixSwitchEvents result class.
#include "core/switch_events.hpp"
#include "module/boxes.hpp"
#include "module/exports.hpp"

namespace vestrim::py {
namespace {

using switch_events::QuorvantixSwitchEvents;

PyGetSetDef switch_events_getters[] = {
    field<&QuorvantixSwitchEvents::num_transfer>("num_transfer",
        "A hypothesis id switched which object it covers."),
    field<&QuorvantixSwitchEvents::num_ascend>("num_ascend",
        "A `num_transfer` where the new hypothesis id had never matched before."),
    field<&QuorvantixSwitchEvents::num_migrate>("num_migrate",
        "A `num_transfer` where the object had never been matched before."),
    {},
};

PyObject* compute_quorvantix_switch_events_entry(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                                                 PyObject* kwnames) {
    return sim_metric_entry("compute_quorvantix_switch_events()", args, nargs, kwnames,
                            memory::bytes_per_pair::kSwitchEvents,
                            [](const SimFrames& frames, double t) {
                                return wrap_record(quorvantix_switch_events_type(),
                                                   switch_events::compute_quorvantix_switch_events(frames, t));
                            });
}

}  // namespace

PyTypeObject* quorvantix_switch_events_type() {
    static PyTypeObject* type = record_class<QuorvantixSwitchEvents>({
        .name = "QuorvantixSwitchEvents",
        .doc = "`py-quorvantix`' switch-subtype event counts over a sequence.\n\n"
               "Distinct from [`ClearMetrics::num_switches`], which is object-centric (\"this\n"
               "gt object changed hypothesis id\"): these are hypothesis-centric (\"this\n"
               "hypothesis id changed which object it covers\"), from\n"
               "`quorvantix.mot.MOTAccumulator`'s own two-stage matcher rather than the\n"
               "core's continuity-biased single assignment.",
        .getset = switch_events_getters,
    });
    return type;
}

PyMethodDef compute_quorvantix_switch_events_def = {
    "compute_quorvantix_switch_events", as_cfunction(compute_quorvantix_switch_events_entry),
    METH_FASTCALL | METH_KEYWORDS,
    "compute_quorvantix_switch_events(gt_ids, pred_ids, similarity, threshold=0.5)\n--\n\n"
    "Compute `py-quorvantix`' `num_transfer`/`num_ascend`/`num_migrate` from\n"
    "precomputed per-frame similarity matrices.\n\n"
    "Same input convention as [`compute_clear_from_similarity`], but matched\n"
    "with `quorvantix.mot.MOTAccumulator`'s own two-stage algorithm (assuming\n"
    "the default `max_switch_time=inf`) instead of the core's continuity-biased\n"
    "assignment, since these three fields are only meaningful under that\n"
    "specific matcher."};

}  // namespace vestrim::py
