// The frame every entry point of the library runs in, the TS_ exports and the
// Java native methods alike: one call at a time through the export gate, a
// re-entering call refused with the entry point's failure value, and no
// exception ever leaving the library.
#pragma once

#include "kelvara/services/ExportGate.h"
#include "kelvara/services/Progress.h"

namespace kelvara {

template <class Result, class Body>
Result RunExport(Result failure, Body body) noexcept
{
    try {
        ExportGate gate;
        if (!gate.Entered())
            return failure;
        ProgressScope progress;
        return body();
    } catch (...) {
        return failure;
    }
}

template <class Body>
void RunExportVoid(Body body) noexcept
{
    try {
        ExportGate gate;
        if (gate.Entered()) {
            ProgressScope progress;
            body();
        }
    } catch (...) {
    }
}

} // namespace kelvara
