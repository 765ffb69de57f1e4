#pragma once
// The splash: the title picture and the version line, without a caption. It closes itself after
// three seconds; Enter closes it at once, Escape with the result 0.

#include <QDialog>
#include <QPixmap>
#include <QTimer>

class QLabel;

namespace loudara {

inline constexpr int kSplashTimerMs = 3000;

// The program's title picture, drawn here: a studio meter bridge and a waveform held under a
// ceiling, with the program's name.
QPixmap DrawTitlePicture(QSize size);

class SplashDialog : public QDialog {
public:
    explicit SplashDialog(QWidget* parent);

    QTimer& closeTimer() { return timer_; }
    QLabel* pictureLabel = nullptr;
    QLabel* versionLabel = nullptr;

protected:
    void showEvent(QShowEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;

private:
    QTimer timer_;
};

}  // namespace loudara
