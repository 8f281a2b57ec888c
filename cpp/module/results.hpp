// Result classes that hold other result objects (returned as the same object on every access).
#pragma once

#include "module/py.hpp"

namespace vestrim::py {

struct EvaluationRecord {
    Ref clear;     // ClearMetrics
    Ref identity;  // IdentityMetrics
    Ref hota;      // HotaMetrics
};

struct AccumulatorRecord {
    Ref clear;     // ClearMetrics
    Ref identity;  // IdentityMetrics
};

}  // namespace vestrim::py
