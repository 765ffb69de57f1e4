#pragma once
// Draws the panel into the back surface from the state: buttons, lights, displays, meters with
// their decay, the time display and the knobs.

#include <QPainter>
#include <QString>

#include "app/app_state.h"
#include "processor/processor.h"
#include "ui/control_panel.h"
#include "ui/panel_buttons.h"
#include "ui/skin.h"

namespace loudara {

// Level 0..24 of a meter: integer part of (v + 1) / 30719 * scale.
int MeterLevel(double value, double scale);
// Level 0..24 of a peak meter: integer part of peak / 32767 * 25.
int PeakMeterLevel(double peak);

// The time display's text when no sound layer reports one: the output is not open.
inline constexpr const char* kIdleTimeText = " 00:00";

// The whole panel; the meters decay as they are drawn.
void PaintPanel(QPainter& painter, const Skin& skin, PanelButtons& buttons, KnobTable& knobs, AppState& state,
                Processor& p, const QString& timeText);

// Every knob: label and arrows; the pressed marks are cleared once drawn.
void DrawKnobs(QPainter& painter, const Skin& skin, KnobTable& knobs, const Processor& p);

}  // namespace loudara
