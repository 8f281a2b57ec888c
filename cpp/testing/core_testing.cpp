// vestrim._core_testing: a private companion module that exposes core routines which have no public
// entry point of their own (the assignment solver, pair matching on a given IoU matrix, the IoU
// kernels, the full-matrix identity formulation) to the test suite and the benchmarks.
#include <cstring>
#include <string>
#include <vector>

#include "core/assignment.hpp"
#include "core/flat_map.hpp"
#include "core/identity.hpp"
#include "core/iou.hpp"
#include "core/iou3d.hpp"
#include "core/lsap.hpp"
#include "core/nuscenes.hpp"
#include "core/sweep.hpp"
#include "module/boxes.hpp"
#include "module/py.hpp"

namespace {

using namespace vestrim;
using py::Ref;

// A matrix given as a C-contiguous 2-D float64 buffer (a NumPy array, read in place) or as a
// sequence of equally long sequences of floats (copied). The buffer view is released on destruction.
class Matrix {
public:
    Matrix() = default;
    Matrix(const Matrix&) = delete;
    Matrix& operator=(const Matrix&) = delete;
    ~Matrix() {
        if (has_view_) PyBuffer_Release(&view_);
    }

    // False with a Python exception set when `obj` is neither form.
    bool load(PyObject* obj) {
        if (PyObject_CheckBuffer(obj) && PyObject_GetBuffer(obj, &view_, PyBUF_C_CONTIGUOUS | PyBUF_FORMAT) == 0) {
            has_view_ = true;
            if (view_.ndim == 2 && view_.format != nullptr && std::strcmp(view_.format, "d") == 0) {
                rows = static_cast<std::size_t>(view_.shape[0]);
                cols = static_cast<std::size_t>(view_.shape[1]);
                data = static_cast<const double*>(view_.buf);
                return true;
            }
        }
        PyErr_Clear();
        if (!py::append_sim_frame(obj, copy_)) return false;
        rows = copy_.rows(0);
        cols = rows == 0 ? 0 : copy_.row_length(0, 0);
        for (std::size_t i = 0; i < rows; ++i) {
            if (copy_.row_length(0, i) != cols) {
                PyErr_SetString(PyExc_ValueError, "rows must all have the same length");
                return false;
            }
        }
        data = copy_.frame_data(0);
        return true;
    }

    std::size_t rows = 0;
    std::size_t cols = 0;
    const double* data = nullptr;

private:
    py::SimInput copy_;
    Py_buffer view_{};
    bool has_view_ = false;
};

PyObject* pack(std::initializer_list<PyObject*> stolen) {
    std::vector<Ref> items;
    for (PyObject* item : stolen) items.push_back(Ref::steal(item));
    Ref tuple = Ref::steal(PyTuple_New(static_cast<Py_ssize_t>(items.size())));
    if (!tuple) return nullptr;
    for (std::size_t k = 0; k < items.size(); ++k) {
        if (!items[k]) return nullptr;
        PyTuple_SET_ITEM(tuple.get(), static_cast<Py_ssize_t>(k), items[k].release());
    }
    return tuple.release();
}

// lsap_solve(matrix, maximize=False, portable=False) -> (rows, cols)
PyObject* lsap_solve(PyObject*, PyObject* args) {
    PyObject* matrix_obj = nullptr;
    int maximize = 0;
    int portable = 0;
    if (!PyArg_ParseTuple(args, "O|pp:lsap_solve", &matrix_obj, &maximize, &portable)) return nullptr;
    Matrix matrix;
    if (!matrix.load(matrix_obj)) return nullptr;
    return py::guarded([&]() -> PyObject* {
        auto result = lsap::solve(matrix.rows, matrix.cols, matrix.data, maximize != 0,
                                  portable ? lsap::Kernel::Portable : lsap::Kernel::Auto);
        if (!result) return py::value_error(std::string(lsap::to_string(result.error())));
        return pack({py::to_py(result->rows), py::to_py(result->cols)});
    });
}

// lsap_solve_with_forbidden(matrix, allowed, maximize=False, portable=False) -> (rows, cols); a cell is
// allowed where the second matrix (same shape) is non-zero.
PyObject* lsap_solve_with_forbidden(PyObject*, PyObject* args) {
    PyObject* matrix_obj = nullptr;
    PyObject* allowed_obj = nullptr;
    int maximize = 0;
    int portable = 0;
    if (!PyArg_ParseTuple(args, "OO|pp:lsap_solve_with_forbidden", &matrix_obj, &allowed_obj, &maximize, &portable))
        return nullptr;
    Matrix matrix, allowed_matrix;
    if (!matrix.load(matrix_obj) || !allowed_matrix.load(allowed_obj)) return nullptr;
    if (allowed_matrix.rows != matrix.rows || allowed_matrix.cols != matrix.cols)
        return py::value_error("allowed must have the shape of matrix");
    std::vector<unsigned char> allowed(matrix.rows * matrix.cols);
    for (std::size_t k = 0; k < allowed.size(); ++k) allowed[k] = allowed_matrix.data[k] != 0.0;
    return py::guarded([&]() -> PyObject* {
        auto result = lsap::solve_with_forbidden(matrix.rows, matrix.cols, matrix.data, allowed.data(), maximize != 0,
                                                 portable ? lsap::Kernel::Portable : lsap::Kernel::Auto);
        if (!result) return py::value_error(std::string(lsap::to_string(result.error())));
        return pack({py::to_py(result->rows), py::to_py(result->cols)});
    });
}

// match_iou(matrix, method, threshold) -> (matches, scores, unmatched_a, unmatched_b)
PyObject* match_iou(PyObject*, PyObject* args) {
    PyObject* matrix_obj = nullptr;
    const char* method_text = nullptr;
    double threshold = 0.0;
    if (!PyArg_ParseTuple(args, "Osd:match_iou", &matrix_obj, &method_text, &threshold)) return nullptr;
    assignment::Method method;
    if (std::strcmp(method_text, "hungarian") == 0) {
        method = assignment::Method::Hungarian;
    } else if (std::strcmp(method_text, "greedy") == 0) {
        method = assignment::Method::Greedy;
    } else {
        return py::value_error("method must be \"hungarian\" or \"greedy\"");
    }
    Matrix matrix;
    if (!matrix.load(matrix_obj)) return nullptr;
    try {
        const assignment::Matching m = assignment::match_boxes({matrix.data, matrix.rows * matrix.cols},
                                                               matrix.rows, matrix.cols, method, threshold);
        return pack({py::to_py(m.matches), py::to_py(m.scores), py::to_py(m.unmatched_a), py::to_py(m.unmatched_b)});
    } catch (const InternalError& e) {
        PyErr_SetString(PyExc_RuntimeError, e.what());
        return nullptr;
    }
}

// iou_matrix(a, b, kernel) -> list of rows; kernel is "auto", "sse2" or "scalar".
PyObject* iou_matrix(PyObject*, PyObject* args) {
    PyObject* a_obj = nullptr;
    PyObject* b_obj = nullptr;
    const char* kernel_text = nullptr;
    if (!PyArg_ParseTuple(args, "OOs:iou_matrix", &a_obj, &b_obj, &kernel_text)) return nullptr;
    iou::Kernel kernel;
    if (std::strcmp(kernel_text, "auto") == 0) {
        kernel = iou::Kernel::Auto;
    } else if (std::strcmp(kernel_text, "sse2") == 0) {
        kernel = iou::Kernel::Sse2;
    } else if (std::strcmp(kernel_text, "scalar") == 0) {
        kernel = iou::Kernel::Scalar;
    } else {
        return py::value_error("kernel must be \"auto\", \"sse2\" or \"scalar\"");
    }
    Matrix a, b;
    if (!a.load(a_obj) || !b.load(b_obj)) return nullptr;
    if ((a.rows > 0 && a.cols != 4) || (b.rows > 0 && b.cols != 4)) return py::value_error("boxes must have 4 columns");
    return py::guarded([&]() -> PyObject* {
        const auto* boxes_a = reinterpret_cast<const Box*>(a.data);
        const auto* boxes_b = reinterpret_cast<const Box*>(b.data);
        std::vector<double> out(a.rows * b.rows);
        iou::iou_matrix({boxes_a, a.rows}, {boxes_b, b.rows}, out.data(), kernel);
        return py::matrix_to_py(out.data(), a.rows, b.rows);
    });
}

// identity_dense(gt_ids, pred_ids, similarity, threshold) -> the IdentityMetrics fields in order,
// from the full (G+P) x (G+P) cost matrices solved by the assignment solver.
PyObject* identity_dense(PyObject*, PyObject* args) {
    PyObject* a[4] = {};
    double threshold = 0.5;
    if (!PyArg_ParseTuple(args, "OOOd:identity_dense", &a[0], &a[1], &a[2], &threshold)) return nullptr;
    py::SimSequenceArgs seq;
    if (!seq.convert(a)) return nullptr;
    return py::guarded([&]() -> PyObject* {
        if (!seq.build()) return nullptr;
        identity::IdentityAccumulator acc;
        const SimFrames frames = seq.sequence();
        SimFrames::Buffer buffer;
        for (std::size_t k = 0; k < frames.size(); ++k) {
            const SimFrame f = frames.frame(k, buffer);
            acc.update(f.gt_ids, f.pred_ids, f.similarity, threshold);
        }
        const identity::IdentityMetrics m = acc.compute_dense();
        return pack({py::to_py(m.idf1), py::to_py(m.idp), py::to_py(m.idr), py::to_py(m.idtp), py::to_py(m.idfp),
                     py::to_py(m.idfn), py::to_py(m.num_frames), py::to_py(m.num_gt), py::to_py(m.num_pred)});
    });
}

// The sweep with another criterion: oriented 3D boxes match when their IoU is at least 0.5, at a
// cost of 1 - IoU (the KITTI 3D tracking kind of matching), with the nuScenes formulas.
class Iou3dCriterion final : public sweep::Criterion {
public:
    Iou3dCriterion(const std::vector<iou3d::Box3d>& gt, const std::vector<iou3d::Box3d>& pred) : gt_(gt), pred_(pred) {}
    void pairs(std::size_t gt_begin, std::size_t n_gt, std::span<const std::size_t> preds, double* cost,
               unsigned char* valid) const override {
        for (std::size_t i = 0; i < n_gt; ++i)
            for (std::size_t j = 0; j < preds.size(); ++j) {
                const double iou = iou3d::iou_3d(gt_[gt_begin + i], pred_[preds[j]]);
                cost[i * preds.size() + j] = 1.0 - iou;
                valid[i * preds.size() + j] = iou >= 0.5;
            }
    }

private:
    const std::vector<iou3d::Box3d>& gt_;
    const std::vector<iou3d::Box3d>& pred_;
};

// sweep_iou3d(frames, threads=1) -> (amota, amotp, best metrics (15), confidence (40), passes). Each
// frame is (gt, pred): gt a list of (id, box), pred a list of (id, score, box), boxes 7 floats
// (x, y, z, l, w, h, yaw), ids small non-negative integers distinct per track.
PyObject* sweep_iou3d(PyObject*, PyObject* args) {
    PyObject* frames_obj = nullptr;
    int threads = 1;
    if (!PyArg_ParseTuple(args, "O|i:sweep_iou3d", &frames_obj, &threads)) return nullptr;
    sweep::ClassFrames frames;
    std::vector<iou3d::Box3d> gt_boxes, pred_boxes;
    frames.gt_offsets.push_back(0);
    frames.pred_offsets.push_back(0);
    auto box = [](PyObject* seq, iou3d::Box3d& out) {
        std::vector<double> v;
        if (!py::convert(seq, v)) return false;
        if (v.size() != 7) {
            PyErr_SetString(PyExc_ValueError, "a box is 7 floats");
            return false;
        }
        out = {v[0], v[1], v[2], v[3], v[4], v[5], v[6]};
        return true;
    };
    Ref it = Ref::steal(PyObject_GetIter(frames_obj));
    if (!it) return nullptr;
    while (Ref frame = Ref::steal(PyIter_Next(it.get()))) {
        PyObject *gt = nullptr, *pred = nullptr;
        if (!PyArg_ParseTuple(frame.get(), "OO", &gt, &pred)) return nullptr;
        Ref gt_it = Ref::steal(PyObject_GetIter(gt));
        if (!gt_it) return nullptr;
        while (Ref item = Ref::steal(PyIter_Next(gt_it.get()))) {
            long long id = 0;
            PyObject* b = nullptr;
            iou3d::Box3d parsed{};
            if (!PyArg_ParseTuple(item.get(), "LO", &id, &b) || !box(b, parsed)) return nullptr;
            frames.gt_ids.push_back(id);
            frames.num_gt_ids = std::max<std::size_t>(frames.num_gt_ids, static_cast<std::size_t>(id) + 1);
            gt_boxes.push_back(parsed);
        }
        Ref pred_it = Ref::steal(PyObject_GetIter(pred));
        if (!pred_it) return nullptr;
        while (Ref item = Ref::steal(PyIter_Next(pred_it.get()))) {
            long long id = 0;
            double score = 0;
            PyObject* b = nullptr;
            iou3d::Box3d parsed{};
            if (!PyArg_ParseTuple(item.get(), "LdO", &id, &score, &b) || !box(b, parsed)) return nullptr;
            frames.pred_ids.push_back(id);
            frames.pred_scores.push_back(score);
            frames.num_pred_ids = std::max<std::size_t>(frames.num_pred_ids, static_cast<std::size_t>(id) + 1);
            pred_boxes.push_back(parsed);
        }
        if (PyErr_Occurred()) return nullptr;
        frames.gt_offsets.push_back(frames.gt_ids.size());
        frames.pred_offsets.push_back(frames.pred_ids.size());
    }
    if (PyErr_Occurred()) return nullptr;
    return py::guarded([&]() -> PyObject* {
        const Iou3dCriterion criterion(gt_boxes, pred_boxes);
        sweep::ParallelFor serial_in_reverse;  // another order of passes must give the same result
        if (threads > 1)
            serial_in_reverse = [](std::size_t count, const std::function<void(std::size_t)>& task) {
                for (std::size_t i = count; i-- > 0;) task(i);
            };
        sweep::ClassResult r;
        try {
            r = sweep::sweep_class(frames, criterion, nuscenes::formulas(), serial_in_reverse);
        } catch (const sweep::SweepError& e) {
            return py::value_error(e.message);
        }
        std::vector<double> best(r.best.begin(), r.best.end());
        std::vector<double> confidence(r.confidence.begin(), r.confidence.end());
        return pack({py::to_py(r.amota), py::to_py(r.amotp), py::to_py(best), py::to_py(confidence),
                     py::to_py(r.passes)});
    });
}

// id_map_longest_probe(ids, key=<the process's key>) -> the longest probe sequence of an id map
// holding `ids` (integers taken modulo 2^64) under the given hash key.
PyObject* id_map_longest_probe(PyObject*, PyObject* args) {
    PyObject* ids = nullptr;
    unsigned long long key = id_hash::process_key();
    if (!PyArg_ParseTuple(args, "O|K:id_map_longest_probe", &ids, &key)) return nullptr;
    Ref seq = Ref::steal(PySequence_Fast(ids, "ids must be a sequence"));
    if (!seq) return nullptr;
    FlatMap map(key);
    const Py_ssize_t n = PySequence_Fast_GET_SIZE(seq.get());
    for (Py_ssize_t k = 0; k < n; ++k) {
        const unsigned long long id = PyLong_AsUnsignedLongLongMask(PySequence_Fast_GET_ITEM(seq.get(), k));
        if (PyErr_Occurred()) return nullptr;
        map.try_emplace(id, static_cast<std::uint64_t>(k) + 1);
    }
    return PyLong_FromSize_t(map.longest_probe());
}

PyMethodDef methods[] = {
    {"id_map_longest_probe", id_map_longest_probe, METH_VARARGS,
     "id_map_longest_probe(ids, key=None)\n--\n\n"
     "The longest probe sequence of an id map holding `ids` under hash key `key`\n"
     "(the process's own key when omitted)."},
    {"lsap_solve_with_forbidden", lsap_solve_with_forbidden, METH_VARARGS,
     "lsap_solve_with_forbidden(matrix, allowed, maximize=False, portable=False)\n--\n\n"
     "The assignment with the most allowed cells, then the best total of their values."},
    {"lsap_solve", lsap_solve, METH_VARARGS,
     "lsap_solve(matrix, maximize=False, portable=False)\n--\n\n"
     "Solve the linear sum assignment problem for a 2-D float64 array or a list of rows.\n"
     "`portable` forces the scalar scan instead of the vector one.\n"
     "Returns (rows, cols) as two lists of ints; raises ValueError(\"Invalid\" or \"Infeasible\")."},
    {"match_iou", match_iou, METH_VARARGS,
     "match_iou(matrix, method, threshold)\n--\n\n"
     "Pair matching on a given IoU matrix. Returns (matches, scores, unmatched_a, unmatched_b);\n"
     "a solver failure raises RuntimeError with the internal-error text."},
    {"iou_matrix", iou_matrix, METH_VARARGS,
     "iou_matrix(a, b, kernel)\n--\n\n"
     "IoU matrix of two (N, 4) xyxy box matrices with the given loop kernel\n"
     "(\"auto\", \"sse2\" or \"scalar\"). Returns a list of rows."},
    {"identity_dense", identity_dense, METH_VARARGS,
     "identity_dense(gt_ids, pred_ids, similarity, threshold)\n--\n\n"
     "Identity metrics from the full square FN/FP cost matrices (the reference formulation).\n"
     "Returns (idf1, idp, idr, idtp, idfp, idfn, num_frames, num_gt, num_pred)."},
    {"sweep_iou3d", sweep_iou3d, METH_VARARGS,
     "sweep_iou3d(frames, threads=1)\n--\n\n"
     "The confidence sweep with 3D IoU >= 0.5 matching: (amota, amotp, best metrics, confidence, passes)."},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT, "_core_testing", "Private test hooks into the vestrim core.", 0, methods,
    nullptr, nullptr, nullptr, nullptr,
};

}  // namespace

PyMODINIT_FUNC PyInit__core_testing() { return PyModule_Create(&module_def); }
