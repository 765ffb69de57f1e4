#pragma once
// Dialog units: the dialogs are laid out in units of the dialog font, a quarter of its average
// character width across and an eighth of its height down, so they keep their proportions
// whatever the font.

#include <QFontMetrics>
#include <QRect>
#include <QWidget>

namespace loudara {

class DialogUnits {
public:
    explicit DialogUnits(const QWidget& dialog) {
        const QFontMetrics metrics(dialog.font());
        baseX_ = metrics.averageCharWidth();
        baseY_ = metrics.height();
    }

    int x(int units) const { return (units * baseX_ + 2) / 4; }
    int y(int units) const { return (units * baseY_ + 4) / 8; }
    QRect rect(int left, int top, int width, int height) const {
        return QRect(x(left), y(top), x(width), y(height));
    }
    QSize size(int width, int height) const { return QSize(x(width), y(height)); }

    // Puts `widget` at the rectangle and returns it, for building a dialog line by line.
    template <class W>
    W* place(W* widget, int left, int top, int width, int height) const {
        widget->setGeometry(rect(left, top, width, height));
        return widget;
    }

private:
    int baseX_ = 6;
    int baseY_ = 13;
};

}  // namespace loudara
