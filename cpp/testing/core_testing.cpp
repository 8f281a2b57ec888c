// vestrim._core_testing: a private companion module that exposes core routines which have no public
// entry point of their own (the assignment solver, pair matching on a given IoU matrix) to the test
// suite and the benchmarks.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstring>
#include <string>
#include <vector>

#include "core/assignment.hpp"
#include "core/iou.hpp"
#include "core/lsap.hpp"
#include "core/types.hpp"

namespace {

// Reads a matrix either from a C-contiguous 2-D float64 buffer (a NumPy array, read in place) or from
// a sequence of equally long sequences of floats (copied). Sets a Python error and returns false on
// failure.
struct Matrix {
    std::size_t rows = 0;
    std::size_t cols = 0;
    const double* data = nullptr;
    std::vector<double> copy;
    Py_buffer view{};
    bool has_view = false;

    Matrix() = default;
    Matrix(const Matrix&) = delete;
    Matrix& operator=(const Matrix&) = delete;
    ~Matrix() {
        if (has_view) PyBuffer_Release(&view);
    }

    bool load(PyObject* obj) {
        if (PyObject_CheckBuffer(obj) &&
            PyObject_GetBuffer(obj, &view, PyBUF_C_CONTIGUOUS | PyBUF_FORMAT) == 0) {
            has_view = true;
            if (view.ndim == 2 && view.format != nullptr && std::strcmp(view.format, "d") == 0) {
                rows = static_cast<std::size_t>(view.shape[0]);
                cols = static_cast<std::size_t>(view.shape[1]);
                data = static_cast<const double*>(view.buf);
                return true;
            }
            PyBuffer_Release(&view);
            has_view = false;
        }
        PyErr_Clear();
        return load_sequence(obj);
    }

    bool load_sequence(PyObject* obj) {
        PyObject* outer = PySequence_Fast(obj, "matrix must be a sequence of rows");
        if (outer == nullptr) return false;
        const Py_ssize_t nrows = PySequence_Fast_GET_SIZE(outer);
        bool ok = true;
        Py_ssize_t ncols = -1;
        for (Py_ssize_t i = 0; ok && i < nrows; ++i) {
            PyObject* row = PySequence_Fast(PySequence_Fast_GET_ITEM(outer, i), "row must be a sequence");
            if (row == nullptr) {
                ok = false;
                break;
            }
            const Py_ssize_t n = PySequence_Fast_GET_SIZE(row);
            if (ncols < 0) {
                ncols = n;
                copy.reserve(static_cast<std::size_t>(nrows * n));
            } else if (n != ncols) {
                PyErr_SetString(PyExc_ValueError, "rows must all have the same length");
                ok = false;
            }
            for (Py_ssize_t j = 0; ok && j < n; ++j) {
                const double x = PyFloat_AsDouble(PySequence_Fast_GET_ITEM(row, j));
                if (x == -1.0 && PyErr_Occurred()) ok = false;
                copy.push_back(x);
            }
            Py_DECREF(row);
        }
        Py_DECREF(outer);
        if (!ok) return false;
        rows = static_cast<std::size_t>(nrows);
        cols = static_cast<std::size_t>(ncols < 0 ? 0 : ncols);
        data = copy.data();
        return true;
    }
};

PyObject* index_list(const std::vector<std::uint64_t>& values) {
    PyObject* list = PyList_New(static_cast<Py_ssize_t>(values.size()));
    if (list == nullptr) return nullptr;
    for (std::size_t k = 0; k < values.size(); ++k) {
        PyObject* item = PyLong_FromUnsignedLongLong(values[k]);
        if (item == nullptr) {
            Py_DECREF(list);
            return nullptr;
        }
        PyList_SET_ITEM(list, static_cast<Py_ssize_t>(k), item);
    }
    return list;
}

PyObject* lsap_solve(PyObject*, PyObject* args) {
    PyObject* matrix_obj = nullptr;
    int maximize = 0;
    int portable = 0;
    if (!PyArg_ParseTuple(args, "O|pp:lsap_solve", &matrix_obj, &maximize, &portable)) return nullptr;
    Matrix matrix;
    if (!matrix.load(matrix_obj)) return nullptr;
    auto result = vestrim::lsap::solve(
        matrix.rows, matrix.cols, matrix.data, maximize != 0,
        portable ? vestrim::lsap::Kernel::Portable : vestrim::lsap::Kernel::Auto);
    if (!result) {
        const std::string text(vestrim::lsap::to_string(result.error()));
        PyErr_SetString(PyExc_ValueError, text.c_str());
        return nullptr;
    }
    PyObject* rows = index_list(result->rows);
    if (rows == nullptr) return nullptr;
    PyObject* cols = index_list(result->cols);
    if (cols == nullptr) {
        Py_DECREF(rows);
        return nullptr;
    }
    return Py_BuildValue("(NN)", rows, cols);
}

PyObject* match_iou(PyObject*, PyObject* args) {
    PyObject* matrix_obj = nullptr;
    const char* method_text = nullptr;
    double threshold = 0.0;
    if (!PyArg_ParseTuple(args, "Osd:match_iou", &matrix_obj, &method_text, &threshold)) return nullptr;
    vestrim::assignment::Method method;
    if (std::strcmp(method_text, "hungarian") == 0) {
        method = vestrim::assignment::Method::Hungarian;
    } else if (std::strcmp(method_text, "greedy") == 0) {
        method = vestrim::assignment::Method::Greedy;
    } else {
        PyErr_SetString(PyExc_ValueError, "method must be \"hungarian\" or \"greedy\"");
        return nullptr;
    }
    Matrix matrix;
    if (!matrix.load(matrix_obj)) return nullptr;
    vestrim::assignment::Matching m;
    try {
        m = vestrim::assignment::match_boxes({matrix.data, matrix.rows * matrix.cols}, matrix.rows,
                                             matrix.cols, method, threshold);
    } catch (const vestrim::InternalError& e) {
        PyErr_SetString(PyExc_RuntimeError, e.what());
        return nullptr;
    }
    PyObject* matches = PyList_New(static_cast<Py_ssize_t>(m.matches.size()));
    if (matches == nullptr) return nullptr;
    for (std::size_t k = 0; k < m.matches.size(); ++k) {
        PyObject* pair = Py_BuildValue("(nn)", static_cast<Py_ssize_t>(m.matches[k].first),
                                       static_cast<Py_ssize_t>(m.matches[k].second));
        if (pair == nullptr) {
            Py_DECREF(matches);
            return nullptr;
        }
        PyList_SET_ITEM(matches, static_cast<Py_ssize_t>(k), pair);
    }
    PyObject* scores = PyList_New(static_cast<Py_ssize_t>(m.scores.size()));
    if (scores == nullptr) {
        Py_DECREF(matches);
        return nullptr;
    }
    for (std::size_t k = 0; k < m.scores.size(); ++k) {
        PyObject* score = PyFloat_FromDouble(m.scores[k]);
        if (score == nullptr) {
            Py_DECREF(matches);
            Py_DECREF(scores);
            return nullptr;
        }
        PyList_SET_ITEM(scores, static_cast<Py_ssize_t>(k), score);
    }
    const std::vector<std::uint64_t> ua(m.unmatched_a.begin(), m.unmatched_a.end());
    const std::vector<std::uint64_t> ub(m.unmatched_b.begin(), m.unmatched_b.end());
    // "N" steals every reference, also when one of them is null (the call then fails cleanly).
    return Py_BuildValue("(NNNN)", matches, scores, index_list(ua), index_list(ub));
}

// iou_matrix(a, b, kernel): a and b are (N, 4) matrices of xyxy boxes; kernel is "auto", "sse2" or
// "scalar". Returns the matrix as a list of rows.
PyObject* iou_matrix(PyObject*, PyObject* args) {
    PyObject* a_obj = nullptr;
    PyObject* b_obj = nullptr;
    const char* kernel_text = nullptr;
    if (!PyArg_ParseTuple(args, "OOs:iou_matrix", &a_obj, &b_obj, &kernel_text)) return nullptr;
    vestrim::iou::Kernel kernel;
    if (std::strcmp(kernel_text, "auto") == 0) {
        kernel = vestrim::iou::Kernel::Auto;
    } else if (std::strcmp(kernel_text, "sse2") == 0) {
        kernel = vestrim::iou::Kernel::Sse2;
    } else if (std::strcmp(kernel_text, "scalar") == 0) {
        kernel = vestrim::iou::Kernel::Scalar;
    } else {
        PyErr_SetString(PyExc_ValueError, "kernel must be \"auto\", \"sse2\" or \"scalar\"");
        return nullptr;
    }
    Matrix a, b;
    if (!a.load(a_obj) || !b.load(b_obj)) return nullptr;
    if ((a.rows > 0 && a.cols != 4) || (b.rows > 0 && b.cols != 4)) {
        PyErr_SetString(PyExc_ValueError, "boxes must have 4 columns");
        return nullptr;
    }
    const auto* boxes_a = reinterpret_cast<const vestrim::Box*>(a.data);
    const auto* boxes_b = reinterpret_cast<const vestrim::Box*>(b.data);
    std::vector<double> out(a.rows * b.rows);
    vestrim::iou::iou_matrix({boxes_a, a.rows}, {boxes_b, b.rows}, out.data(), kernel);
    PyObject* outer = PyList_New(static_cast<Py_ssize_t>(a.rows));
    if (outer == nullptr) return nullptr;
    for (std::size_t i = 0; i < a.rows; ++i) {
        PyObject* row = PyList_New(static_cast<Py_ssize_t>(b.rows));
        if (row == nullptr) {
            Py_DECREF(outer);
            return nullptr;
        }
        PyList_SET_ITEM(outer, static_cast<Py_ssize_t>(i), row);
        for (std::size_t j = 0; j < b.rows; ++j) {
            PyObject* v = PyFloat_FromDouble(out[i * b.rows + j]);
            if (v == nullptr) {
                Py_DECREF(outer);
                return nullptr;
            }
            PyList_SET_ITEM(row, static_cast<Py_ssize_t>(j), v);
        }
    }
    return outer;
}

PyMethodDef methods[] = {
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
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT, "_core_testing", "Private test hooks into the vestrim core.", 0, methods,
    nullptr, nullptr, nullptr, nullptr,
};

}  // namespace

PyMODINIT_FUNC PyInit__core_testing() { return PyModule_Create(&module_def); }
