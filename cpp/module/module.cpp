// Module definition and the one registration table: __all__ follows the order of `exports`.
#include "module/exports.hpp"

namespace vestrim::py {
namespace {

constexpr const char* version_text = "0.3.0";

PyObject* version(PyObject*, PyObject*) { return PyUnicode_FromString(version_text); }

PyObject* is_debug_build(PyObject*, PyObject*) {
#ifdef NDEBUG
    Py_RETURN_FALSE;
#else
    Py_RETURN_TRUE;
#endif
}

struct Export {
    PyMethodDef* function = nullptr;      // a function ...
    PyTypeObject* (*type)() = nullptr;    // ... or a class
};

constexpr Export fn(PyMethodDef* def) { return Export{def, nullptr}; }
constexpr Export cls(PyTypeObject* (*type)()) { return Export{nullptr, type}; }

const Export exports[] = {
    fn(&version_def),
    fn(&is_debug_build_def),
    fn(&iou_def),
    fn(&iou_matrix_def),
    fn(&iou_3d_def),
    fn(&iou_3d_matrix_def),
    fn(&match_boxes_def),
    fn(&match_boxes_3d_def),
    fn(&match_masks_def),
    fn(&mask_area_def),
    fn(&mask_iou_def),
    fn(&mask_iou_matrix_def),
    fn(&mask_decode_def),
    fn(&mask_encode_def),
    fn(&mask_merge_def),
    fn(&mask_to_bbox_def),
    cls(&mask_type),
    fn(&compute_clear_def),
    fn(&compute_clear_from_similarity_def),
    fn(&compute_quorvantix_switch_events_def),
    fn(&compute_identity_def),
    fn(&compute_identity_from_similarity_def),
    fn(&compute_hota_def),
    fn(&compute_hota_from_similarity_def),
    fn(&evaluate_def),
    cls(&accumulator_type),
    cls(&accumulator_result_type),
    cls(&matching_type),
    cls(&clear_metrics_type),
    cls(&quorvantix_switch_events_type),
    cls(&identity_metrics_type),
    cls(&hota_metrics_type),
    cls(&evaluation_result_type),
};

// Appends `name` to __all__ (creating it on first use), then sets the attribute.
bool add_public(PyObject* module, PyObject* name, PyObject* value) {
    Ref all = Ref::steal(PyObject_GetAttrString(module, "__all__"));
    if (!all) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return false;
        PyErr_Clear();
        all = Ref::steal(PyList_New(0));
        if (!all || PyObject_SetAttrString(module, "__all__", all.get()) < 0) return false;
    }
    if (!PyList_Check(all.get())) {
        type_error("__all__ must be a list");
        return false;
    }
    return PyList_Append(all.get(), name) == 0 && PyObject_SetAttr(module, name, value) == 0;
}

int exec_module(PyObject* module) {
    if (!PyModule_Check(module)) {
        type_error("expected a module object");
        return -1;
    }
    Ref name = Ref::steal(PyUnicode_FromString("__version__"));
    Ref value = Ref::steal(PyUnicode_FromString(version_text));
    if (!name || !value || !add_public(module, name.get(), value.get())) return -1;
    Ref module_name = Ref::steal(PyModule_GetNameObject(module));
    if (!module_name) return -1;

    for (const Export& e : exports) {
        if (e.function != nullptr) {
            Ref function = Ref::steal(PyCMethod_New(e.function, module, module_name.get(), nullptr));
            if (!function) return -1;
            Ref function_name = Ref::steal(PyObject_GetAttrString(function.get(), "__name__"));
            if (!function_name || !add_public(module, function_name.get(), function.get())) return -1;
        } else {
            PyTypeObject* type = e.type();
            if (type == nullptr) return -1;
            Ref type_name = Ref::steal(PyObject_GetAttrString(reinterpret_cast<PyObject*>(type), "__name__"));
            if (!type_name || !add_public(module, type_name.get(), reinterpret_cast<PyObject*>(type))) return -1;
        }
    }
    // The internal-error type is reachable for callers who want to catch it, but is not public.
    PyObject* internal = internal_error_type();
    if (internal == nullptr || PyModule_AddObjectRef(module, "InternalError", internal) < 0) return -1;
    return 0;
}

PyModuleDef_Slot slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(&exec_module)},
    {0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "_vestrim",
    "The `vestrim._vestrim` extension module.",
    0,
    nullptr,
    slots,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace

PyMethodDef version_def = {
    "version", version, METH_NOARGS,
    "version()\n--\n\n"
    "Return the version of the compiled core. The value is fixed at build time, so the\n"
    "native and the Python-level versions cannot drift."};

PyMethodDef is_debug_build_def = {
    "is_debug_build", is_debug_build, METH_NOARGS,
    "is_debug_build()\n--\n\n"
    "Whether the extension was compiled with debug assertions (used to warn\n"
    "before reporting benchmark timings \xE2\x80\x94 a debug build is far slower)."};

}  // namespace vestrim::py

PyMODINIT_FUNC PyInit__vestrim() { return PyModuleDef_Init(&vestrim::py::module_def); }
