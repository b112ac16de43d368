// Included first by every header of copy/. A program built as a lower
// subsystem (its REPLIKON_LAYER_* macro defined) may not include them: the
// dependencies run downward only.
#pragma once

#if defined(REPLIKON_LAYER_AUTOMATION)
#error "copy/ is above this subsystem: the automation layer does not use the copy engine"
#endif
