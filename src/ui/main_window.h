#pragma once
// The main window: menu, toolbar with the preset drop-downs, the skinned panel, the playlist
// view and the status bar. It hosts the command dispatcher (confirmations and file dialogs with
// Qt, repaints, the ON-AIR lock, the timers) and hands every event to it.

#include <QMainWindow>
#include <QPixmap>
#include <QTimer>
#include <functional>
#include <map>
#include <memory>

#include "app/command_dispatch.h"
#include "ui/control_panel.h"
#include "ui/panel_buttons.h"
#include "ui/skin.h"

class QLabel;
class QMenu;
class QToolBar;
class QToolButton;

namespace loudara {

class SongListView;
class LoudnessStrip;
class StreamLoudness;
class PanelWidget;
class WindowDialogs;

inline constexpr const char* kWindowCaption = "Loudara V3.04";
inline constexpr int kClientWidth = 745;
inline constexpr int kToolbarHeight = 28;
inline constexpr int kPanelBelowToolbar = 287;  // panel height = toolbar height + 287
inline constexpr int kInitialListHeight = 284;
inline constexpr int kMinimumHeightAbovePanel = 200;

// The tool tip of a toolbar button's command; empty for the others.
QString ToolbarTipText(int commandId);

// Shows a message box for the core (also before the window exists).
void ShowMessageBox(QWidget* parent, const std::string& text, const std::string& caption, MessageIcon icon);

class MainWindow : public QMainWindow, public CommandHost {
public:
    MainWindow(AppState& state, Processor& processor);
    ~MainWindow() override;

    CommandDispatcher& dispatcher() { return dispatcher_; }
    // The dialogs of the export, peak, settings and About commands.
    WindowDialogs& dialogs() { return *dialogs_; }
    // Joins the sound layer (or leaves it, with nullptr): Play, Stop and ON-AIR follow.
    void setTransport(Transport* transport);
    // Enables each menu item and toolbar button whose command is available, except the ones
    // the ON-AIR lock greys while it holds.
    void refreshCommandStates();
    KnobTable& knobs() { return knobs_; }
    PanelButtons& panelButtons() { return buttons_; }
    QWidget* panel() const;
    SongListView* songList() const { return songList_; }
    // The loudness strip between the panel and the list, and the stream meter it reads (none
    // without a sound layer).
    LoudnessStrip* loudnessStrip() const { return loudnessStrip_; }
    void setStreamLoudness(StreamLoudness* loudness);
    QToolBar* toolbar() const { return toolbar_; }
    QLabel* statusPart(int part) const { return part == 0 ? statusKeys_ : statusCount_; }
    int toolbarHeight() const { return toolbarHeight_; }
    int panelHeight() const { return toolbarHeight_ + kPanelBelowToolbar; }
    // The tip a toolbar button shows now: none while Playing.
    QString toolTipText(int commandId) const;
    // The clock of the quick second click on playlist rows, in milliseconds.
    void setTickSource(std::function<uint32_t()> tick) { tick_ = std::move(tick); }
    // The time display's text while not exporting.
    void setTimeTextSource(std::function<QString()> source) { timeText_ = std::move(source); }
    // What the status bar adds to the song count while ON-AIR plays (latency, xruns).
    void setOnAirFiguresSource(std::function<QString()> source) { onAirFigures_ = std::move(source); }
    // Called before every repaint of the panel (which follows every command and knob turn): the
    // parameters go to the sound at once.
    void setParametersChangedHook(std::function<void()> hook) { parametersChanged_ = std::move(hook); }

    // Draws the panel into the back surface (and runs what the paint request runs).
    void paintPanel();
    const QPixmap& backSurface() const { return backSurface_; }

    // Mouse on the panel, in client coordinates.
    void panelPress(int x, int y, Qt::KeyboardModifiers modifiers);
    void panelRelease();
    // Wheel steps over a knob (as its arrows), and the tool tip of the knob at a point.
    void panelWheel(int x, int y, int steps, Qt::KeyboardModifiers modifiers);
    QString panelToolTip(int x, int y) const;

    // CommandHost.
    void showMessage(const std::string& text, const std::string& caption, MessageIcon icon) override;
    void beep() override;
    bool askConfirmation(const std::string& text, const std::string& caption, ConfirmButtons buttons) override;
    std::vector<std::string> chooseFiles(const FileDialogRequest& request) override;
    void repaintPanel() override;
    void refreshSongList() override;
    void setOnAirLock(bool locked) override;
    void closeMainWindow() override;
    bool openDocument(const std::string& target) override;
    void showStatusText(const std::string& text) override;
    void startTimer(int timerId, int periodMs) override;
    void stopTimer(int timerId) override;
    bool timerRunning(int timerId) const;

protected:
    void closeEvent(QCloseEvent* event) override;
    void changeEvent(QEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;
    void dragEnterEvent(QDragEnterEvent* event) override;
    void dropEvent(QDropEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    // The song count, and the ON-AIR figures while ON-AIR plays.
    void showSongCount();
    void buildMenu();
    void buildToolbar();
    void buildStatusBar();
    void layoutPass();
    void repeatTick();
    QAction* addCommand(QMenu* menu, const char* text, int id, int image);
    QMenu* presetPopup(int firstId);
    void syncCurrentRow();

    AppState& state_;
    Processor& p_;
    CommandDispatcher dispatcher_;
    std::unique_ptr<WindowDialogs> dialogs_;
    Skin skin_;
    KnobTable knobs_;
    PanelButtons buttons_;
    QPixmap backSurface_;
    int toolbarHeight_ = kToolbarHeight;
    Qt::KeyboardModifiers pressModifiers_;
    bool repeating_ = false;
    bool onAirLocked_ = false;

    PanelWidget* panel_ = nullptr;
    SongListView* songList_ = nullptr;
    LoudnessStrip* loudnessStrip_ = nullptr;
    QToolBar* toolbar_ = nullptr;
    QLabel* statusKeys_ = nullptr;
    QLabel* statusCount_ = nullptr;
    std::multimap<int, QAction*> commandActions_;  // menu items and toolbar buttons by command
    std::map<int, QTimer*> timers_;
    std::function<uint32_t()> tick_;
    std::function<QString()> timeText_;
    std::function<QString()> onAirFigures_;
    std::function<void()> parametersChanged_;
};

}  // namespace loudara
