// Where the window's controls sit. The layout is designed for a 96 dpi
// desktop at a window size of 456 x 373 outside the frame; every rectangle is
// in the client area that size leaves. scripts/test-windows.sh reads the
// buttons' rectangles from this file (one `k<Name>{x, y, width, height}` a
// line) to click them: keep that form.
#pragma once

#include <QRect>
#include <QSize>

namespace pulvane::ui::layout {

inline constexpr QSize kClientSize{440, 334};

inline constexpr QRect kHeartRateLabel{16, 16, 217, 57};
inline constexpr QRect kDeviceNumberLabel{16, 88, 201, 57};
inline constexpr QRect kStartButton{296, 8, 137, 41};
inline constexpr QRect kStopButton{296, 56, 137, 41};
inline constexpr QRect kSaveButton{296, 136, 137, 41};
inline constexpr QRect kSensibilityCaption{336, 108, 49, 13};
inline constexpr QRect kSensibilityEdit{392, 104, 41, 22};
inline constexpr QRect kLogCaption{16, 152, 71, 13};
inline constexpr QRect kLogPane{16, 168, 265, 164};

} // namespace pulvane::ui::layout
