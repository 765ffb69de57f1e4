#include "ui/panel_buttons.h"

namespace loudara {
namespace {

constexpr int kToggleX[kToggleButtons] = {425, 425, 425, 536, 536, 536, 647, 30, 667};
constexpr int kToggleRow[kToggleButtons] = {65, 81, 97, 65, 81, 97, 65, 265, 210};  // below the toolbar
constexpr int kTransportX[kTransportButtons] = {420, 450, 480, 520, 560, 590};
constexpr int kTransportWidth[kTransportButtons] = {30, 30, 40, 40, 30, 30};
constexpr int kTransportSourceX[kTransportButtons] = {0, 30, 60, 100, 140, 170};
constexpr int kSeekSteps[kTransportButtons] = {-20, -5, 0, 0, 5, 20};
constexpr int kVirtualSpeakerButton = 7;

}  // namespace

void PlacePanelButtons(PanelButtons& buttons, int toolbarHeight) {
    for (int i = 0; i < kToggleButtons; ++i) {
        const int width = i == kTruePeakButton ? kTruePeakButtonWidth : kToggleWidth;
        buttons.toggles[i] = PanelButton{kToggleX[i], toolbarHeight + kToggleRow[i], width, kToggleHeight};
    }
    buttons.reset = PanelButton{635, toolbarHeight + 265, kResetWidth, kResetHeight};
    for (int i = 0; i < kTransportButtons; ++i) {
        buttons.transports[i] = PanelButton{kTransportX[i], toolbarHeight + 29, kTransportWidth[i], kTransportHeight,
                                            kTransportSourceX[i]};
    }
}

int32_t& ToggleValue(int button, AppState& state, Processor& p) {
    ProcessorSettings& s = p.settings;
    switch (button) {
        case 0: return s.bypass;
        case 1: return s.bassEqOff;
        case 2: return s.phaseShifterOn;
        case 3: return s.enhancerOn;
        case 4: return s.deEmphasisOn;
        case 5: return state.continuousPlayback;
        case 6: return s.gateOn;
        case kTruePeakButton: return s.truePeakLimiter;
        default: return s.virtualSpeakerOn;
    }
}

bool ToggleLightOn(int button, const AppState& state, const Processor& p) {
    const ProcessorSettings& s = p.settings;
    switch (button) {
        case 0: return s.bypass == 1;
        case 1: return s.bassEqOff == 0;  // the light shows the EQ on
        case 2: return s.phaseShifterOn == 1;
        case 3: return s.enhancerOn == 1;
        case 4: return s.deEmphasisOn == 1;
        case 5: return state.continuousPlayback == 1;
        case 6: return s.gateOn == 1;
        case kTruePeakButton: return s.truePeakLimiter == 1;
        default: return s.virtualSpeakerOn == 1 && s.bypass == 0;
    }
}

void PressPanelButtons(PanelButtons& buttons, AppState& state, Processor& p, CommandDispatcher& dispatcher, int x,
                       int y) {
    for (int i = 0; i < kToggleButtons; ++i) {
        PanelButton& b = buttons.toggles[i];
        if (!StrictlyInside(b, x, y)) continue;
        // The virtual speaker cannot be switched while the processor is bypassed (as button 0
        // has just left it).
        if (i == kVirtualSpeakerButton && p.settings.bypass != 0) continue;
        int32_t& value = ToggleValue(i, state, p);
        value = 1 - value;
        b.pressed = true;
    }
    for (int i = 0; i < kTransportButtons; ++i) {
        PanelButton& b = buttons.transports[i];
        if (!StrictlyInside(b, x, y)) continue;
        if (i == 2) {
            dispatcher.dispatch(cmd::Stop);
        } else if (i == 3) {
            dispatcher.dispatch(cmd::Play);
        } else {
            state.seekSteps = kSeekSteps[i];
            state.seekActive = 1;
        }
        b.pressed = true;
    }
    if (StrictlyInside(buttons.reset, x, y)) {
        initVirtualSpeaker(p);
        buttons.reset.pressed = true;
    }
}

void ReleasePanelButtons(PanelButtons& buttons, AppState& state) {
    for (PanelButton& b : buttons.toggles) b.pressed = false;
    for (PanelButton& b : buttons.transports) b.pressed = false;
    buttons.reset.pressed = false;
    state.seekActive = 0;
}

}  // namespace loudara
