#pragma once
// The clickable images of the panel: nine toggle buttons, the virtual-speaker reset button and
// six transport buttons, with the rules of a press on them (no Qt).

#include "app/app_state.h"
#include "app/command_dispatch.h"
#include "processor/processor.h"

namespace loudara {

inline constexpr int kToggleButtons = 9, kTransportButtons = 6;
inline constexpr int kToggleWidth = 93, kToggleHeight = 15;
inline constexpr int kTruePeakButton = 8, kTruePeakButtonWidth = 72;  // in the final stages' box
inline constexpr int kResetWidth = 34, kResetHeight = 15;
inline constexpr int kTransportHeight = 25;
inline constexpr int kLightSize = 14, kLightOffset = 15;  // the indicator light left of a toggle

struct PanelButton {
    int x = 0, y = 0, width = 0, height = 0;
    int sourceX = 0;  // transport buttons: where the button lies in the strip image
    bool pressed = false;
};

struct PanelButtons {
    PanelButton toggles[kToggleButtons];
    PanelButton reset;
    PanelButton transports[kTransportButtons];
};

// Positions for a toolbar `toolbarHeight` pixels high.
void PlacePanelButtons(PanelButtons& buttons, int toolbarHeight);

// Inside without touching the edges.
inline bool StrictlyInside(const PanelButton& b, int x, int y) {
    return x > b.x && x < b.x + b.width && y > b.y && y < b.y + b.height;
}

// The setting a toggle button flips and its light shows.
int32_t& ToggleValue(int button, AppState& state, Processor& p);

// Whether toggle button `button`'s light is on.
bool ToggleLightOn(int button, const AppState& state, const Processor& p);

// A press at panel point (x, y): toggles, transport buttons (stop and play through the
// dispatcher, the seek buttons set the seek amount) and the reset button; each button hit is
// marked pressed.
void PressPanelButtons(PanelButtons& buttons, AppState& state, Processor& p, CommandDispatcher& dispatcher, int x, int y);

// The button is released: every pressed mark cleared and no seek held.
void ReleasePanelButtons(PanelButtons& buttons, AppState& state);

}  // namespace loudara
