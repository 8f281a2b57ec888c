// The finalisation of each metric family from its counts, as the core finalises a sequence, for
// the package's combination of sequences (which sums the counts and finalises them here).
#include <array>
#include <string>
#include <vector>

#include "core/clear.hpp"
#include "core/clear_extra.hpp"
#include "core/hota.hpp"
#include "core/identity.hpp"
#include "native/native.hpp"

namespace vestrim::native {
namespace {

using py::Param;
using py::Ref;

// A count argument: a non-negative integer.
bool count_arg(const char* name, PyObject* obj, std::uint64_t& out) {
    Id value = 0;
    if (!py::arg(name, obj, value)) return false;
    if (value < 0) {
        py::value_error(std::string(name) + " must not be negative");
        return false;
    }
    out = static_cast<std::uint64_t>(value);
    return true;
}

Convention convention_of(bool benchmark) { return benchmark ? Convention::Benchmark : Convention::Module; }

PyObject* finalise_clear_entry(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static constexpr Param params[] = {{"num_gt", true},     {"num_matches", true}, {"num_false_positives", true},
                                       {"num_misses", true}, {"num_switches", true}, {"motp_sum", true},
                                       {"benchmark", true}};
    PyObject* a[7];
    if (!py::bind({"finalise_clear()", params}, args, nargs, kwnames, a)) return nullptr;
    clear::ClearMetrics m;
    double motp_sum = 0.0;
    bool benchmark = false;
    if (!count_arg("num_gt", a[0], m.num_gt) || !count_arg("num_matches", a[1], m.num_matches) ||
        !count_arg("num_false_positives", a[2], m.num_false_positives) ||
        !count_arg("num_misses", a[3], m.num_misses) || !count_arg("num_switches", a[4], m.num_switches) ||
        !py::arg("motp_sum", a[5], motp_sum) || !py::arg("benchmark", a[6], benchmark))
        return nullptr;
    clear::finalise_ratios(m, motp_sum, convention_of(benchmark));
    return Py_BuildValue("(ddddddd)", m.mota, m.motp, m.moda, m.smota, m.motal, m.clr_re, m.clr_pr);
}

PyObject* finalise_clear_extra_entry(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static constexpr Param params[] = {{"num_matches", true}, {"num_misses", true}, {"num_false_positives", true},
                                       {"mt", true},          {"pt", true},         {"ml", true},
                                       {"clr_frames", true},  {"motp_sum", true},   {"empty", false}};
    PyObject* a[9];
    if (!py::bind({"finalise_clear_extra()", params}, args, nargs, kwnames, a)) return nullptr;
    clear::ClearExtraCounts c;
    if (!count_arg("num_matches", a[0], c.tp) || !count_arg("num_misses", a[1], c.fn) ||
        !count_arg("num_false_positives", a[2], c.fp) || !count_arg("mt", a[3], c.mt) ||
        !count_arg("pt", a[4], c.pt) || !count_arg("ml", a[5], c.ml) || !count_arg("clr_frames", a[6], c.frames) ||
        !py::arg("motp_sum", a[7], c.motp_sum) || !py::opt_arg("empty", a[8], c.empty))
        return nullptr;
    return clear_extra_to_py(clear::finalise_clear_extra(c));
}

PyObject* finalise_identity_entry(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static constexpr Param params[] = {{"idtp", true}, {"idfp", true}, {"idfn", true}, {"num_gt", true}};
    PyObject* a[4];
    if (!py::bind({"finalise_identity()", params}, args, nargs, kwnames, a)) return nullptr;
    identity::IdentityMetrics m;
    if (!count_arg("idtp", a[0], m.idtp) || !count_arg("idfp", a[1], m.idfp) || !count_arg("idfn", a[2], m.idfn) ||
        !count_arg("num_gt", a[3], m.num_gt))
        return nullptr;
    identity::finalise_ratios(m);
    return Py_BuildValue("(ddd)", m.idf1, m.idp, m.idr);
}

PyObject* finalise_hota_entry(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static constexpr Param params[] = {{"tp", true},     {"fn", true},     {"fp", true},   {"assa_sum", true},
                                       {"ass_re_sum", true}, {"ass_pr_sum", true}, {"loca_sum", true},
                                       {"plain_means", false}};
    PyObject* a[8];
    if (!py::bind({"finalise_hota()", params}, args, nargs, kwnames, a)) return nullptr;
    std::array<std::vector<double>, 7> sums;
    for (std::size_t k = 0; k < sums.size(); ++k) {
        if (!py::arg(params[k].name, a[k], sums[k])) return nullptr;
        if (sums[k].size() != hota::kNumAlphas)
            return py::value_error(std::string(params[k].name) + " must hold one value per alpha (" +
                                   std::to_string(hota::kNumAlphas) + "), got " + std::to_string(sums[k].size()));
    }
    bool plain_means = false;
    if (!py::opt_arg("plain_means", a[7], plain_means)) return nullptr;
    hota::HotaMetrics m;
    hota::finalise(m, {sums[0], sums[1], sums[2], sums[3], sums[4], sums[5], sums[6]}, plain_means);
    std::array<Ref, 6> curves;
    const std::vector<double>* values[] = {&m.deta_alphas,   &m.assa_alphas, &m.ass_re_alphas,
                                           &m.ass_pr_alphas, &m.loca_alphas, &m.hota_alphas};
    for (std::size_t k = 0; k < curves.size(); ++k) {
        curves[k] = Ref::steal(py::to_py(*values[k]));
        if (!curves[k]) return nullptr;
    }
    return Py_BuildValue("(OOOOOOdddd)", curves[0].get(), curves[1].get(), curves[2].get(), curves[3].get(),
                         curves[4].get(), curves[5].get(), m.hota, m.deta, m.assa, m.loca);
}

PyMethodDef functions[] = {
    {"finalise_clear", py::as_cfunction(finalise_clear_entry), METH_FASTCALL | METH_KEYWORDS,
     "finalise_clear(num_gt, num_matches, num_false_positives, num_misses, num_switches, motp_sum, "
     "benchmark)\n--\n\n"
     "CLEAR's ratios from its counts and the summed IoU of the matches, as a sequence is\n"
     "finalised: (mota, motp, moda, smota, motal, clr_re, clr_pr)."},
    {"finalise_clear_extra", py::as_cfunction(finalise_clear_extra_entry), METH_FASTCALL | METH_KEYWORDS,
     "finalise_clear_extra(num_matches, num_misses, num_false_positives, mt, pt, ml, clr_frames, "
     "motp_sum, empty=False)\n--\n\n"
     "CLEAR's extra columns from its counts, the frames counted and the summed IoU of\n"
     "the matches: (clr_f1, fp_per_frame, motp_sum, clr_frames, mtr, ptr, mlr). empty\n"
     "gives a sequence's values when one side has nothing."},
    {"finalise_identity", py::as_cfunction(finalise_identity_entry), METH_FASTCALL | METH_KEYWORDS,
     "finalise_identity(idtp, idfp, idfn, num_gt)\n--\n\n"
     "Identity's ratios from its counts, as a sequence is finalised: (idf1, idp, idr)."},
    {"finalise_hota", py::as_cfunction(finalise_hota_entry), METH_FASTCALL | METH_KEYWORDS,
     "finalise_hota(tp, fn, fp, assa_sum, ass_re_sum, ass_pr_sum, loca_sum, plain_means=False)\n--\n\n"
     "HOTA's ratios from its per-alpha counts and sums, as a sequence is finalised:\n"
     "(deta_alphas, assa_alphas, ass_re_alphas, ass_pr_alphas, loca_alphas, hota_alphas,\n"
     "hota, deta, assa, loca). plain_means averages with the plain sum."},
};

}  // namespace

PyObject* clear_extra_to_py(const clear::ClearExtra& e) {
    return Py_BuildValue("(dddKddd)", e.clr_f1, e.fp_per_frame, e.motp_sum,
                         static_cast<unsigned long long>(e.clr_frames), e.mtr, e.ptr, e.mlr);
}

std::span<PyMethodDef> finalise_functions() { return functions; }

}  // namespace vestrim::native
