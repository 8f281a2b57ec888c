// Everything the module registers, declared in one place. Each family defines its own entries in
// cpp/module/<family>_py.cpp; module.cpp registers them in the public order.
#pragma once

#include "module/py.hpp"

namespace vestrim::clear {
struct ClearMetrics;
}

namespace vestrim::identity {
struct IdentityMetrics;
}

namespace vestrim::hota {
struct HotaMetrics;
}

namespace vestrim::py {

// Functions (each a PyMethodDef with the fast calling convention and a text-signature docstring).
extern PyMethodDef version_def;
extern PyMethodDef is_debug_build_def;
extern PyMethodDef iou_def;
extern PyMethodDef iou_matrix_def;
extern PyMethodDef iou_3d_def;
extern PyMethodDef iou_3d_matrix_def;
extern PyMethodDef match_boxes_def;
extern PyMethodDef match_boxes_3d_def;
extern PyMethodDef match_masks_def;
extern PyMethodDef mask_area_def;
extern PyMethodDef mask_iou_def;
extern PyMethodDef mask_iou_matrix_def;
extern PyMethodDef mask_decode_def;
extern PyMethodDef mask_encode_def;
extern PyMethodDef mask_merge_def;
extern PyMethodDef mask_to_bbox_def;
extern PyMethodDef compute_clear_def;
extern PyMethodDef compute_clear_from_similarity_def;
extern PyMethodDef compute_quorvantix_switch_events_def;
extern PyMethodDef compute_identity_def;
extern PyMethodDef compute_identity_from_similarity_def;
extern PyMethodDef compute_hota_def;
extern PyMethodDef compute_hota_from_similarity_def;
extern PyMethodDef evaluate_def;

// Classes: each created on first use and cached for the life of the process (nullptr with an
// exception set if creation fails).
PyTypeObject* mask_type();
PyTypeObject* accumulator_type();
PyTypeObject* accumulator_result_type();
PyTypeObject* matching_type();
PyTypeObject* clear_metrics_type();
PyTypeObject* quorvantix_switch_events_type();
PyTypeObject* identity_metrics_type();
PyTypeObject* hota_metrics_type();
PyTypeObject* evaluation_result_type();

// Moves a finished CLEAR record into a new ClearMetrics object (nullptr with an exception set).
PyObject* new_clear_metrics(clear::ClearMetrics&& metrics);
// Moves a finished HOTA record into a new HotaMetrics object (nullptr with an exception set).
PyObject* new_hota_metrics(hota::HotaMetrics&& metrics);
// "HotaMetrics(hota=..., deta=..., assa=..., loca=...)": the repr, also embedded by other reprs.
std::string hota_metrics_text(const hota::HotaMetrics& metrics);

// Moves a finished identity record into a new IdentityMetrics object (nullptr with an exception set).
PyObject* new_identity_metrics(identity::IdentityMetrics&& metrics);

}  // namespace vestrim::py
