// Included first by every header of about/. A program built as a lower
// subsystem (its REPLIKON_LAYER_* macro defined) may not include them: the
// dependencies run downward only.
#pragma once

#if defined(REPLIKON_LAYER_AUTOMATION) || defined(REPLIKON_LAYER_COPY) || \
    defined(REPLIKON_LAYER_STREAM)
#error "about/ is above this subsystem: only the component starts the About box"
#endif
