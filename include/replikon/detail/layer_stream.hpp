// Included first by every header of stream/. A program built as a lower
// subsystem (its REPLIKON_LAYER_* macro defined) may not include them: the
// dependencies run downward only.
#pragma once

#if defined(REPLIKON_LAYER_AUTOMATION) || defined(REPLIKON_LAYER_COPY)
#error "stream/ is above this subsystem: only the component and the tools use the Stream engines"
#endif
