// vestrim._native: the package's private native module. It is built from the same core library
// and boundary toolkit as the public extension, and adds what the package needs natively (benchmark
// conventions, file readers, rebuilding results) without adding names to the public module.
#pragma once

#include <span>

#include "core/clear_extra.hpp"
#include "module/py.hpp"

namespace vestrim::native {

// The public module's result classes. Instances created here must be of the very type objects
// `vestrim._vestrim` exposes, so the types are looked up there (importing it on first use) and
// checked to have the instance layout this module was compiled with. nullptr with an exception set
// on failure.
PyTypeObject* public_type(const char* name, Py_ssize_t expected_basicsize);

template <class R>
PyTypeObject* public_record_type(const char* name) {
    return public_type(name, static_cast<Py_ssize_t>(sizeof(py::Boxed<R>)));
}

// The entry points of each family, defined in the family's own file and listed in native.cpp's
// registration table. Add one declaration per family here.
std::span<PyMethodDef> readers_functions();  // readers.cpp: the benchmark text formats

// evaluate_native.cpp: evaluation under a convention, HOTA's alphas and means.
std::span<PyMethodDef> evaluate_functions();

// removal.cpp: the removal matching, frame by frame and over whole tables (rows with their frames).
std::span<PyMethodDef> removal_functions();

// masks.cpp: mask_to_array.
std::span<PyMethodDef> masks_functions();

// events.cpp: event logs and per-track tables.
std::span<PyMethodDef> events_functions();

// The convention named by a "module" / "benchmark" argument (evaluate_native.cpp).
Result<Convention> parse_convention(const std::string& text);

// finalise.cpp: each metric family's finalisation from summed counts (combining sequences).
std::span<PyMethodDef> finalise_functions();

// CLEAR's extra columns as the tuple (clr_f1, fp_per_frame, motp_sum, clr_frames, mtr, ptr, mlr)
// (finalise.cpp); nullptr with an exception set on failure.
PyObject* clear_extra_to_py(const clear::ClearExtra& extra);
// nuscenes_native.cpp: the nuScenes tracking scores of one tracker.
std::span<PyMethodDef> nuscenes_functions();

// threads.cpp: threads_per_call (the threads one evaluation uses).
std::span<PyMethodDef> threads_functions();

// Pickling: the reducer of the public result classes and the Accumulator, and their rebuilders.
std::span<PyMethodDef> pickle_functions();

}  // namespace vestrim::native
