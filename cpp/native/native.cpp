// Module definition of vestrim._native and its registration table.
#include "native/native.hpp"

#include <vector>

#include "native/mot_text.hpp"

namespace vestrim::native {

namespace {

using Families = std::span<PyMethodDef> (*)();

// One line per family of entry points (declared in native.hpp), in the order they are registered.
const Families families[] = {
    evaluate_functions,
    removal_functions,
    readers_functions,
    masks_functions,
    nuscenes_functions,
    pickle_functions,
    finalise_functions,
    threads_functions,
    events_functions,
};

std::vector<PyMethodDef>& method_table() {
    static std::vector<PyMethodDef> table = [] {
        std::vector<PyMethodDef> all;
        for (Families family : families) {
            if (family == nullptr) continue;
            for (const PyMethodDef& def : family()) all.push_back(def);
        }
        all.push_back(PyMethodDef{nullptr, nullptr, 0, nullptr});
        return all;
    }();
    return table;
}

// The limits every text reader enforces, for the package's own checks.
bool add_constants(PyObject* module) {
    py::Ref max_frame = py::Ref::steal(PyLong_FromLongLong(mot::kMaxFrame));
    if (!max_frame || PyModule_AddObjectRef(module, "MAX_FRAME", max_frame.get()) < 0) return false;
    py::Ref max_coordinate = py::Ref::steal(PyFloat_FromDouble(mot::kMaxCoordinate));
    return max_coordinate && PyModule_AddObjectRef(module, "MAX_COORDINATE", max_coordinate.get()) == 0;
}

int exec_module(PyObject* module) {
    if (PyModule_AddFunctions(module, method_table().data()) < 0 || !add_constants(module)) return -1;
    return 0;
}

PyModuleDef_Slot slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(&exec_module)},
    {0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "_native",
    "Private native helpers of the vestrim package (not a public interface).",
    0,
    nullptr,
    slots,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace

PyTypeObject* public_type(const char* name, Py_ssize_t expected_basicsize) {
    py::Ref module = py::Ref::steal(PyImport_ImportModule("vestrim._vestrim"));
    if (!module) return nullptr;
    py::Ref type = py::Ref::steal(PyObject_GetAttrString(module.get(), name));
    if (!type) return nullptr;
    if (!PyType_Check(type.get())) {
        PyErr_Format(PyExc_TypeError, "vestrim._vestrim.%s is not a class", name);
        return nullptr;
    }
    auto* cls = reinterpret_cast<PyTypeObject*>(type.get());
    if (cls->tp_basicsize != expected_basicsize) {
        PyErr_Format(PyExc_ImportError, "vestrim._vestrim.%s has an unexpected layout (built apart from vestrim._native?)",
                     name);
        return nullptr;
    }
    // The public module keeps its classes alive for the life of the process.
    return cls;
}

}  // namespace vestrim::native

PyMODINIT_FUNC PyInit__native() { return PyModuleDef_Init(&vestrim::native::module_def); }
