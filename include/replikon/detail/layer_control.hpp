// Included first by every header of control/. A program built as a lower
// subsystem (its REPLIKON_LAYER_* macro defined) may not include them: the
// dependencies run downward only.
#pragma once

#if defined(REPLIKON_LAYER_AUTOMATION) || defined(REPLIKON_LAYER_COPY) || \
    defined(REPLIKON_LAYER_STREAM) || defined(REPLIKON_LAYER_ABOUT)
#error "control/ is above this subsystem: the component sits above every other subsystem"
#endif
