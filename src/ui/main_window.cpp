#include "ui/main_window.h"

#include <QApplication>
#include <QCloseEvent>
#include <QDesktopServices>
#include <QDir>
#include <QFileDialog>
#include <QGuiApplication>
#include <QHeaderView>
#include <QKeySequence>
#include <QLabel>
#include <QMenuBar>
#include <QMessageBox>
#include <QMimeData>
#include <QMouseEvent>
#include <QPainter>
#include <QScreen>
#include <QStatusBar>
#include <QToolBar>
#include <QToolButton>
#include <QToolTip>
#include <QUrl>
#include <QVBoxLayout>
#include <algorithm>
#include <chrono>

#include "persistence/playlist.h"
#include "ui/loudness_strip.h"
#include "ui/panel_painter.h"
#include "ui/song_list.h"
#include "ui/window_dialogs.h"

namespace loudara {

// How long a notice in the status bar (files that were not added) stays.
constexpr int kStatusTextMs = 15000;

// The panel area below the toolbar: shows the back surface from the toolbar's height down and
// hands mouse presses to the window in client coordinates.
class PanelWidget : public QWidget {
public:
    explicit PanelWidget(MainWindow& window) : QWidget(&window), window_(window) {
        setAttribute(Qt::WA_OpaquePaintEvent);
    }

protected:
    void paintEvent(QPaintEvent*) override {
        window_.paintPanel();
        QPainter painter(this);
        painter.drawPixmap(QPoint(0, 0), window_.backSurface(), QRect(0, window_.toolbarHeight(), width(), height()));
    }
    void mousePressEvent(QMouseEvent* event) override { press(event); }
    // A double click on the panel counts as a press.
    void mouseDoubleClickEvent(QMouseEvent* event) override { press(event); }
    void mouseReleaseEvent(QMouseEvent* event) override {
        if (event->button() == Qt::LeftButton) window_.panelRelease();
    }
    void wheelEvent(QWheelEvent* event) override {
        wheelEighths_ += event->angleDelta().y();  // 120 for one notch; touchpads send parts of it
        const int steps = wheelEighths_ / 120;
        wheelEighths_ -= steps * 120;
        const QPoint at = event->position().toPoint();
        if (steps != 0) window_.panelWheel(at.x(), at.y() + window_.toolbarHeight(), steps, event->modifiers());
        event->accept();
    }
    bool event(QEvent* event) override {
        if (event->type() != QEvent::ToolTip) return QWidget::event(event);
        auto* help = static_cast<QHelpEvent*>(event);
        const QString tip = window_.panelToolTip(help->pos().x(), help->pos().y() + window_.toolbarHeight());
        if (tip.isEmpty()) {
            QToolTip::hideText();
            event->ignore();
        } else {
            QToolTip::showText(help->globalPos(), tip, this);
        }
        return true;
    }

private:
    void press(QMouseEvent* event) {
        if (event->button() != Qt::LeftButton) return;
        const QPoint at = event->position().toPoint();
        window_.panelPress(at.x(), at.y() + window_.toolbarHeight(), event->modifiers());
    }

    MainWindow& window_;
    int wheelEighths_ = 0;
};

namespace {

QMessageBox::Icon qtIcon(MessageIcon icon) {
    switch (icon) {
        case MessageIcon::None: return QMessageBox::NoIcon;
        case MessageIcon::Information: return QMessageBox::Information;
        case MessageIcon::Exclamation: return QMessageBox::Warning;
        case MessageIcon::Question: return QMessageBox::Question;
        case MessageIcon::Error: return QMessageBox::Critical;
    }
    return QMessageBox::NoIcon;
}

// "*.WAV;*.MP3" as a Qt filter whose patterns match any letter case: "*.[wW][aA][vV] ...".
QString qtPatterns(const std::string& patterns) {
    if (patterns == "*.*") return "*";
    QStringList out;
    for (const QString& pattern : QString::fromStdString(patterns).split(';', Qt::SkipEmptyParts)) {
        QString glob;
        for (QChar c : pattern) {
            if (c.isLetter()) {
                glob += '[';
                glob += c.toLower();
                glob += c.toUpper();
                glob += ']';
            } else {
                glob += c;
            }
        }
        out << glob;
    }
    return out.join(' ');
}

uint32_t steadyMilliseconds() {
    const auto now = std::chrono::steady_clock::now().time_since_epoch();
    return static_cast<uint32_t>(std::chrono::duration_cast<std::chrono::milliseconds>(now).count());
}

struct ToolbarItem {
    int id;     // 0: separator
    int image;  // index in the toolbar strip
};
constexpr ToolbarItem kToolbarItems[] = {
    {cmd::OpenSoundFile, 0},          {cmd::RemoveAll, 28},     {0, 0},
    {cmd::Play, 1},                   {cmd::Stop, 2},           {0, 0},
    {cmd::ExportCurrent, 12},         {cmd::ExportAll, 13},     {0, 0},
    {cmd::PresetDigitalWideStereo, 18}, {cmd::PresetInternetTalkMusic, 19}, {cmd::PresetFmSmooth, 20},
    {cmd::UseUserPreset1, 21},        {cmd::UseUserPreset2, 22}, {cmd::UseUserPreset3, 23},
};

}  // namespace

QString ToolbarTipText(int id) {
    switch (id) {
        case 302: return "Automatic Playlist ON/OFF";
        case 303: return "Bass Boost EQ. ON/OFF";
        case 307: return "Bypass ON/OFF";
        case 315: return "User Preset #1";
        case 316: return "User Preset #2";
        case 317: return "User Preset #3";
        case 318: return "Choose the next song";
        case 321: return "Open playlist file";
        case 322: return "Open parameter file";
        case 323: return "Export the current song to a new WAV/MP3 file";
        case 324: return "Export all songs to new WAV/MP3 files";
        case 325: return "Move current song DOWN";
        case 326: return "Move current song UP";
        case 331: return "Open WAV/MP3 file to play";
        case 332: return "BASS Phase Shifter ON/OFF";
        case 333: return "Play[SPACE]";
        case 352: return "Remove the current song from the playlist";
        case 354: return "Save playlist to file";
        case 355: return "Save parameter to file";
        case 359: return "Sort Ascending";
        case 360: return "Sort Descending";
        case 363: return "Stereo Enhancer ON/OFF";
        case 364: return "Stop[SPACE]";
        case 366: return "Choose the previous song";
        case 40125: return "Remove all songs on the playlist";
        default: return {};
    }
}

void ShowMessageBox(QWidget* parent, const std::string& text, const std::string& caption, MessageIcon icon) {
    QMessageBox box(qtIcon(icon), QString::fromStdString(caption), QString::fromStdString(text), QMessageBox::Ok, parent);
    box.exec();
}

MainWindow::MainWindow(AppState& state, Processor& processor)
    : state_(state), p_(processor), dispatcher_(state, processor, *this), tick_(steadyMilliseconds) {
    BuildKnobTable(knobs_, p_);
    dialogs_ = std::make_unique<WindowDialogs>(*this);
    dispatcher_.setDialogHost(dialogs_.get());
    dispatcher_.setLatestVersionPage(kLatestVersionPage);
    setWindowTitle(kWindowCaption);
    setWindowIcon(skin_.appIcon());
    setWindowFlag(Qt::WindowMaximizeButtonHint, false);

    buildMenu();
    buildToolbar();
    buildStatusBar();

    auto* central = new QWidget(this);
    auto* layout = new QVBoxLayout(central);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(0);
    panel_ = new PanelWidget(*this);
    panel_->setFixedSize(kClientWidth, kPanelBelowToolbar);
    layout->addWidget(panel_);
    loudnessStrip_ = new LoudnessStrip(skin_, central);
    loudnessStrip_->setFixedWidth(kClientWidth);
    layout->addWidget(loudnessStrip_);
    songList_ = new SongListView(skin_, central);
    songList_->setMinimumHeight(60);
    layout->addWidget(songList_, 1);
    setCentralWidget(central);

    songList_->onRowPress = [this](int row) { dispatcher_.listRowClick(row, tick_()); };
    songList_->onRowDoubleClick = [this](int row) { dispatcher_.listRowDoubleClick(row); };
    songList_->onKey = [this](int key, bool shift) {
        const ListKey k = key == Qt::Key_Space  ? ListKey::Space
                          : key == Qt::Key_Up   ? ListKey::Up
                          : key == Qt::Key_Down ? ListKey::Down
                                                : ListKey::Delete;
        dispatcher_.listKey(k, shift);
    };
    connect(songList_->horizontalHeader(), &QHeaderView::sectionClicked, this,
            [this](int column) { dispatcher_.headerClick(column); });

    for (int id : {kTimerNextSong, kTimerRepeat, kTimerOnAirBoot}) {
        auto* timer = new QTimer(this);
        timers_[id] = timer;
        if (id == kTimerRepeat) {
            connect(timer, &QTimer::timeout, this, [this] { repeatTick(); });
        } else {
            connect(timer, &QTimer::timeout, this, [this, id] { dispatcher_.timer(id); });
        }
    }

    layoutPass();
    PlacePanelButtons(buttons_, toolbarHeight_);
    // Fixed width, no narrower height than the panel and a little list.
    setMinimumWidth(kClientWidth);
    setMaximumWidth(kClientWidth);
    setMinimumHeight(panelHeight() + kMinimumHeightAbovePanel);
    const int height = menuBar()->sizeHint().height() + toolbarHeight_ + kPanelBelowToolbar + kLoudnessStripHeight +
                       kInitialListHeight + statusBar()->sizeHint().height();
    resize(kClientWidth, height);
    if (const QScreen* screen = QGuiApplication::primaryScreen()) {
        const QRect area = screen->geometry();
        move(area.x() + (area.width() - kClientWidth) / 2, area.y() + (area.height() - 65 - height) / 2);
    }
    setAcceptDrops(true);
    refreshSongList();
    // The sound devices and timer 3 come with the transport (ui/stream_adapter.h).
}

MainWindow::~MainWindow() = default;

QWidget* MainWindow::panel() const { return panel_; }

namespace {

// The keys of the commands pressed most, shown beside them in the menus.
struct CommandKey {
    int id;
    QKeySequence key;
};
const std::vector<CommandKey>& commandKeys() {
    static const std::vector<CommandKey> keys = {
        {cmd::OpenSoundFile, QKeySequence(Qt::CTRL | Qt::Key_O)},
        {cmd::OpenPlaylist, QKeySequence(Qt::CTRL | Qt::SHIFT | Qt::Key_O)},
        {cmd::SavePlaylist, QKeySequence(Qt::CTRL | Qt::Key_S)},
        {cmd::OpenParameterFile, QKeySequence(Qt::CTRL | Qt::ALT | Qt::Key_O)},
        {cmd::SaveParameterFile, QKeySequence(Qt::CTRL | Qt::ALT | Qt::Key_S)},
        {cmd::Play, QKeySequence(Qt::CTRL | Qt::Key_Return)},
        {cmd::Stop, QKeySequence(Qt::CTRL | Qt::Key_Period)},
        {cmd::OnAir, QKeySequence(Qt::CTRL | Qt::SHIFT | Qt::Key_A)},
        {cmd::ExportCurrent, QKeySequence(Qt::CTRL | Qt::Key_E)},
        {cmd::ExportAll, QKeySequence(Qt::CTRL | Qt::SHIFT | Qt::Key_E)},
        {cmd::UserManual, QKeySequence(QKeySequence::HelpContents)},
        {cmd::Quit, QKeySequence(Qt::CTRL | Qt::Key_Q)},
    };
    return keys;
}

}  // namespace

QAction* MainWindow::addCommand(QMenu* menu, const char* text, int id, int image) {
    QAction* action = menu->addAction(QString::fromUtf8(text));
    action->setData(id);
    for (const CommandKey& key : commandKeys()) {
        if (key.id == id) action->setShortcut(key.key);
    }
    if (image != 0) action->setIcon(skin_.menuIcon(image));
    action->setEnabled(dispatcher_.available(id));
    connect(action, &QAction::triggered, this, [this, id] { dispatcher_.dispatch(id); });
    commandActions_.emplace(id, action);
    return action;
}

void MainWindow::buildMenu() {
    QMenuBar* bar = menuBar();
    QMenu* file = bar->addMenu("File");
    addCommand(file, "Open Playlist...", 321, 281);
    addCommand(file, "Save Playlist...", 354, 282);
    file->addSeparator();
    addCommand(file, "Open WAV/MP3 File...", 331, 283);
    file->addSeparator();
    addCommand(file, "Sound Device Settings...", 358, 284);
    file->addSeparator();
    addCommand(file, "Quit", 345, 0);

    QMenu* sound = bar->addMenu("Sound Parameters");
    addCommand(sound, "Open Parameter File...", 322, 285);
    addCommand(sound, "Save Parameter File...", 355, 286);
    sound->addSeparator();
    QMenu* presets = sound->addMenu("* Recommended Presets");
    QMenu* digital = presets->addMenu("Simulates Digital Audio Broadcast");
    addCommand(digital, "Wide Stereo(Genetral Purpose)", 339, 287);
    addCommand(digital, "Punchy Bass（Hip-Hop Music）", 336, 287);
    addCommand(digital, "Bright and Dense（Rock Music）", 338, 287);
    addCommand(digital, "Clear Vocal（POP Music）", 337, 287);
    QMenu* internet = presets->addMenu("For Internet Broadcast");
    addCommand(internet, "Internet Radio Station - Talk && Music Show", 335, 288);
    addCommand(internet, "AM Radio Station - Talk Show", 334, 288);
    QMenu* fm = presets->addMenu("Simulates FM Broadcast (with emphasis)");
    addCommand(fm, "Smooth Listening(Favorite FM)", 232, 289);
    addCommand(fm, "Wide Stereo(Genetral Purpose)", 343, 289);
    addCommand(fm, "Punchy Bass（Hip-Hop Music）", 340, 289);
    addCommand(fm, "Bright and Dense（Rock Music）", 342, 289);
    addCommand(fm, "Clear Vocal（POP Music）", 341, 289);
    sound->addSeparator();
    QMenu* use = sound->addMenu("Use User's Preset");
    addCommand(use, "Preset #1", 315, 290);
    addCommand(use, "Preset #2", 316, 291);
    addCommand(use, "Preset #3", 317, 292);
    QMenu* save = sound->addMenu("Save Parameters to");
    addCommand(save, "Preset #1", 348, 290);
    addCommand(save, "Preset #2", 349, 291);
    addCommand(save, "Preset #3", 350, 292);
    sound->addSeparator();
    addCommand(sound, "Bypass - ON/OFF", 307, 293);
    addCommand(sound, "Bass EQ - ON/OFF", 303, 294);
    addCommand(sound, "Bass Phase Shifter - ON/OFF", 332, 295);
    addCommand(sound, "Stereo Enhancer - ON/OFF", 363, 296);
    sound->addSeparator();
    addCommand(sound, "Virtual Speaker ON/OFF", 40118, 297);
    addCommand(sound, "Initialize Virtual Speaker Parameters", 40120, 298);
    sound->addSeparator();
    addCommand(sound, "** ON AIR MODE ** - ON/OFF", 328, 299);
    sound->addSeparator();
    addCommand(sound, "De-emphasis ON/OFF", 182, 300);

    QMenu* playlist = bar->addMenu("Playlist");
    addCommand(playlist, "Play", 333, 301);
    addCommand(playlist, "Stop", 364, 302);
    QMenu* choose = playlist->addMenu("Choose a song");
    addCommand(choose, "UP", 366, 303);
    addCommand(choose, "DOWN", 318, 304);
    playlist->addSeparator();
    addCommand(playlist, "Continuous Playback - ON/OFF", 302, 305);
    playlist->addSeparator();
    QMenu* move = playlist->addMenu("Move the current song");
    addCommand(move, "UP", 326, 303);
    addCommand(move, "DOWN", 325, 304);
    move->addSeparator();
    addCommand(move, "Delete", 352, 318);
    playlist->addSeparator();
    QMenu* sort = playlist->addMenu("Sort List");
    addCommand(sort, "Ascending", 359, 307);
    addCommand(sort, "Descending", 360, 306);
    playlist->addSeparator();
    addCommand(playlist, "Get Peak Level...", 320, 308);
    playlist->addSeparator();
    addCommand(playlist, "Remove all songs", 40125, 309);

    QMenu* exportMenu = bar->addMenu("Export");
    addCommand(exportMenu, "Export the current song to a new WAV/MP3 file...", 323, 310);
    exportMenu->addSeparator();
    addCommand(exportMenu, "Export all songs to new WAV/MP3 files...", 324, 311);
    exportMenu->addSeparator();
    addCommand(exportMenu, "External MP3 Encoding Program Setings..", 269, 312);

    QMenu* help = bar->addMenu("Help");
    addCommand(help, "About Loudara...", 301, 313);
    help->addSeparator();
    addCommand(help, "User's Manual", 346, 315);
    addCommand(help, "Get the latest version...", 365, 317);
}

QMenu* MainWindow::presetPopup(int firstId) {
    auto* menu = new QMenu(this);
    struct Item {
        const char* text;
        int id;
    };
    std::vector<Item> items;
    if (firstId == cmd::PresetDigitalWideStereo) {
        items = {{"Digital Broadcast - Wide Stereo(Genetral Purpose)", 339},
                 {"Digital Broadcast - Punchy Bass(Hip-Hop Music)", 336},
                 {"Digital Broadcast - Bright and Dense(Rock Music)", 338},
                 {"Digital Broadcast - Clear Vocal(POP Music)", 337}};
    } else if (firstId == cmd::PresetInternetTalkMusic) {
        items = {{"Internet Radio Station - Talk && Music Show", 335}, {"AM Radio Station - Talk Show", 334}};
    } else {
        items = {{"FM Station - Smooth Listening(Favorite FM)", 232},
                 {"FM Station - Wide Stereo(Genetral Purpose)", 343},
                 {"FM Station - Punchy Bass(Hip-Hop Music)", 340},
                 {"FM Station - Bright and Dense(Rock Music)", 342},
                 {"FM Station - Clear Vocal(POP Music)", 341}};
    }
    for (const Item& item : items) {
        QAction* action = menu->addAction(QString::fromUtf8(item.text));
        action->setData(item.id);
        const int id = item.id;
        connect(action, &QAction::triggered, this, [this, id] { dispatcher_.dispatch(id); });
    }
    return menu;
}

void MainWindow::buildToolbar() {
    toolbar_ = addToolBar("Toolbar");
    toolbar_->setMovable(false);
    toolbar_->setFloatable(false);
    toolbar_->setIconSize(QSize(16, 16));
    toolbar_->setFixedHeight(kToolbarHeight);
    toolbar_->setContextMenuPolicy(Qt::PreventContextMenu);
    for (const ToolbarItem& item : kToolbarItems) {
        if (item.id == 0) {
            toolbar_->addSeparator();
            continue;
        }
        const int id = item.id;
        auto* action = new QAction(skin_.toolbarIcon(item.image), QString(), toolbar_);
        action->setData(id);
        action->setToolTip(ToolbarTipText(id));
        action->setEnabled(dispatcher_.available(id));
        connect(action, &QAction::triggered, this, [this, id] { dispatcher_.dispatch(id); });
        toolbar_->addAction(action);
        commandActions_.emplace(id, action);
        auto* button = qobject_cast<QToolButton*>(toolbar_->widgetForAction(action));
        if (button == nullptr) continue;
        button->installEventFilter(this);
        if (id == cmd::PresetDigitalWideStereo || id == cmd::PresetInternetTalkMusic || id == cmd::PresetFmSmooth) {
            button->setMenu(presetPopup(id));
            button->setPopupMode(QToolButton::MenuButtonPopup);
        }
    }
}

void MainWindow::buildStatusBar() {
    statusKeys_ = new QLabel(kKeyHelpText, this);
    statusCount_ = new QLabel(this);
    statusBar()->addWidget(statusKeys_);
    statusBar()->addWidget(statusCount_, 1);
}

void MainWindow::layoutPass() {
    // The toolbar is held at 28 pixels so that the panel lines up with its background image.
    toolbarHeight_ = kToolbarHeight;
    state_.panelRect = {0, toolbarHeight_, kClientWidth, toolbarHeight_ + kPanelBelowToolbar - 1};
    // The first part of the status bar ends at four fifths of the client width.
    statusKeys_->setFixedWidth(width() / 5 * 4);
    if (backSurface_.width() != width() || backSurface_.height() != panelHeight()) {
        backSurface_ = QPixmap(std::max(width(), kClientWidth), panelHeight());
        backSurface_.fill(Qt::white);
    }
}

QString MainWindow::toolTipText(int id) const {
    if (state_.playState == PlayState::Playing) return {};
    return ToolbarTipText(id);
}

bool MainWindow::eventFilter(QObject* watched, QEvent* event) {
    if (event->type() == QEvent::ToolTip) {
        auto* button = qobject_cast<QToolButton*>(watched);
        const QString tip = button != nullptr && button->defaultAction() != nullptr
                                ? toolTipText(button->defaultAction()->data().toInt())
                                : QString();
        if (tip.isEmpty()) {
            QToolTip::hideText();
        } else {
            QToolTip::showText(static_cast<QHelpEvent*>(event)->globalPos(), tip, button);
        }
        return true;
    }
    return QMainWindow::eventFilter(watched, event);
}

void MainWindow::paintPanel() {
    QPainter painter(&backSurface_);
    const QString time = timeText_ ? timeText_() : QString(kIdleTimeText);
    PaintPanel(painter, skin_, buttons_, knobs_, state_, p_, time);
    syncCurrentRow();
}

void MainWindow::syncCurrentRow() {
    const bool busy = state_.playState == PlayState::Playing || state_.exportRunning != 0;
    if (!busy) songList_->viewport()->update();
    if (state_.playlist.songCount > 0 && state_.exportRunning == 0) songList_->markCurrent(state_.playlist.currentSong);
}

void MainWindow::panelPress(int x, int y, Qt::KeyboardModifiers modifiers) {
    state_.mouseHeld = 1;
    repeating_ = false;
    startTimer(kTimerRepeat, kRepeatFirstMs);
    state_.lastClickX = x;
    state_.lastClickY = y;
    pressModifiers_ = modifiers;
    if (y >= panelHeight()) return;
    PressPanelButtons(buttons_, state_, p_, dispatcher_, x, y);
    const KnobModifiers m{(modifiers & Qt::ShiftModifier) != 0, (modifiers & Qt::ControlModifier) != 0,
                          (modifiers & Qt::AltModifier) != 0};
    KnobClick(knobs_, p_, x, y, m);
    repaintPanel();
}

void MainWindow::panelWheel(int x, int y, int steps, Qt::KeyboardModifiers modifiers) {
    const KnobModifiers m{(modifiers & Qt::ShiftModifier) != 0, (modifiers & Qt::ControlModifier) != 0,
                          (modifiers & Qt::AltModifier) != 0};
    if (KnobWheel(knobs_, p_, x, y, steps, m)) repaintPanel();
}

QString MainWindow::panelToolTip(int x, int y) const { return QString::fromStdString(KnobTipText(knobs_, p_, x, y)); }

void MainWindow::showStatusText(const std::string& text) {
    statusBar()->showMessage(QString::fromStdString(text), kStatusTextMs);
}

void MainWindow::panelRelease() {
    state_.mouseHeld = 0;
    stopTimer(kTimerRepeat);
    if (state_.playState != PlayState::Playing) repaintPanel();
    ReleasePanelButtons(buttons_, state_);
}

// Timer 2: the first expiry only switches to the fast period; each later one repeats the step
// at the stored click point with the keys held now.
void MainWindow::repeatTick() {
    if (!repeating_) {
        repeating_ = true;
        startTimer(kTimerRepeat, kRepeatNextMs);
        return;
    }
    if (state_.mouseHeld == 0) return;
    const Qt::KeyboardModifiers keys = QGuiApplication::queryKeyboardModifiers();
    const KnobModifiers m{(keys & Qt::ShiftModifier) != 0, (keys & Qt::ControlModifier) != 0,
                          (keys & Qt::AltModifier) != 0};
    KnobClick(knobs_, p_, state_.lastClickX, state_.lastClickY, m);
    repaintPanel();
}

void MainWindow::showMessage(const std::string& text, const std::string& caption, MessageIcon icon) {
    ShowMessageBox(this, text, caption, icon);
}

void MainWindow::beep() { QApplication::beep(); }

bool MainWindow::askConfirmation(const std::string& text, const std::string& caption, ConfirmButtons buttons) {
    const bool yesNo = buttons == ConfirmButtons::YesNo;
    QMessageBox box(QMessageBox::Question, QString::fromStdString(caption), QString::fromStdString(text),
                    yesNo ? (QMessageBox::Yes | QMessageBox::No) : (QMessageBox::Ok | QMessageBox::Cancel), this);
    const int answer = box.exec();
    return answer == (yesNo ? QMessageBox::Yes : QMessageBox::Ok);
}

std::vector<std::string> MainWindow::chooseFiles(const FileDialogRequest& request) {
    QFileDialog dialog(this);
    dialog.setAcceptMode(request.save ? QFileDialog::AcceptSave : QFileDialog::AcceptOpen);
    dialog.setFileMode(request.save ? QFileDialog::AnyFile
                                    : (request.multiple ? QFileDialog::ExistingFiles : QFileDialog::ExistingFile));
    dialog.setOption(QFileDialog::HideNameFilterDetails);
    dialog.setOption(QFileDialog::ReadOnly, false);
    QStringList filters;
    for (const auto& [text, patterns] : request.filters) {
        filters << QString::fromStdString(text) + " (" + qtPatterns(patterns) + ")";
    }
    dialog.setNameFilters(filters);
    dialog.setDefaultSuffix(QString::fromStdString(request.defaultExtension));
    dialog.setDirectory(QString::fromStdString(request.folder));
    if (!request.initialName.empty()) dialog.selectFile(QString::fromStdString(request.initialName));
    if (dialog.exec() != QDialog::Accepted) return {};
    std::vector<std::string> chosen;
    for (const QString& file : dialog.selectedFiles()) chosen.push_back(QDir::toNativeSeparators(file).toStdString());
    return chosen;
}

void MainWindow::setStreamLoudness(StreamLoudness* loudness) {
    loudnessStrip_->setSource(loudness);
    loudnessStrip_->update();
}

void MainWindow::showSongCount() {
    QString text = QString::fromStdString(SongCountText(state_.playlist));
    const QString figures = onAirFigures_ ? onAirFigures_() : QString();
    if (!figures.isEmpty()) text += "    " + figures;
    if (statusCount_->text() != text) statusCount_->setText(text);
}

void MainWindow::repaintPanel() {
    if (parametersChanged_) parametersChanged_();
    showSongCount();
    panel_->update();
    loudnessStrip_->setStreaming(state_.playState != PlayState::Stopped);
    loudnessStrip_->update();
    syncCurrentRow();
}

void MainWindow::refreshSongList() {
    songList_->songModel().setRows(RefreshSongList(state_.playlist, state_.playState));
    showSongCount();
    syncCurrentRow();
}

void MainWindow::setOnAirLock(bool locked) {
    onAirLocked_ = locked;
    refreshCommandStates();
}

void MainWindow::setTransport(Transport* transport) {
    dispatcher_.setTransport(transport);
    refreshCommandStates();
}

void MainWindow::refreshCommandStates() {
    for (const auto& [id, action] : commandActions_) {
        const bool locked = onAirLocked_ && std::find(std::begin(kOnAirLockedCommands), std::end(kOnAirLockedCommands),
                                                      id) != std::end(kOnAirLockedCommands);
        action->setEnabled(!locked && dispatcher_.available(id));
    }
}

void MainWindow::closeMainWindow() { close(); }

bool MainWindow::openDocument(const std::string& target) {
    return QDesktopServices::openUrl(
        QUrl::fromUserInput(QString::fromStdString(target), QDir::currentPath(), QUrl::AssumeLocalFile));
}

void MainWindow::startTimer(int timerId, int periodMs) {
    const auto it = timers_.find(timerId);
    if (it != timers_.end()) it->second->start(periodMs);
}

void MainWindow::stopTimer(int timerId) {
    const auto it = timers_.find(timerId);
    if (it != timers_.end()) it->second->stop();
}

bool MainWindow::timerRunning(int timerId) const {
    const auto it = timers_.find(timerId);
    return it != timers_.end() && it->second->isActive();
}

void MainWindow::closeEvent(QCloseEvent* event) {
    dispatcher_.windowClosing();
    for (auto& [id, timer] : timers_) timer->stop();
    event->accept();
}

void MainWindow::changeEvent(QEvent* event) {
    if (event->type() == QEvent::ActivationChange) panel_->update();
    QMainWindow::changeEvent(event);
}

void MainWindow::resizeEvent(QResizeEvent* event) {
    QMainWindow::resizeEvent(event);
    layoutPass();
}

void MainWindow::dragEnterEvent(QDragEnterEvent* event) {
    if (event->mimeData()->hasUrls()) event->acceptProposedAction();
}

void MainWindow::dropEvent(QDropEvent* event) {
    std::vector<std::string> names;
    for (const QUrl& url : event->mimeData()->urls()) {
        if (url.isLocalFile()) names.push_back(url.toLocalFile().toStdString());
    }
    event->acceptProposedAction();
    dispatcher_.drop(names);
}

}  // namespace loudara
