#pragma once
// Dialog units: the dialogs are laid out in units of the dialog font, a quarter of its average
// character width across and an eighth of its height down, so they keep their proportions
// whatever the font.
//
// Check boxes, radio buttons and labels carry more around their text here than the layouts were
// drawn for (wider indicators, wider fonts), so a text could be cut off at its control's right
// edge. When the builder goes out of scope at the end of a dialog's construction, it widens the
// whole dialog and everything placed in it by the one factor that lets the widest-pressed text
// fit, keeping every position in proportion.

#include <QCheckBox>
#include <QFontMetrics>
#include <QLabel>
#include <QRadioButton>
#include <QRect>
#include <QWidget>

#include <cmath>
#include <vector>

namespace loudara {

class DialogUnits {
public:
    explicit DialogUnits(QWidget& dialog) : dialog_(dialog) {
        const QFontMetrics metrics(dialog.font());
        baseX_ = metrics.averageCharWidth();
        baseY_ = metrics.height();
    }

    DialogUnits(const DialogUnits&) = delete;
    DialogUnits& operator=(const DialogUnits&) = delete;

    ~DialogUnits() { widenForTexts(); }

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
        placed_.push_back(widget);
        return widget;
    }

private:
    static bool holdsText(const QWidget* w) {
        if (qobject_cast<const QCheckBox*>(w) || qobject_cast<const QRadioButton*>(w)) return true;
        const auto* label = qobject_cast<const QLabel*>(w);
        return label && !label->text().isEmpty() && !label->wordWrap();
    }

    void widenForTexts() const {
        double factor = 1.0;
        for (const QWidget* w : placed_) {
            if (!holdsText(w) || w->width() <= 0) continue;
            factor = std::max(factor, double(w->sizeHint().width()) / w->width());
        }
        if (factor <= 1.0) return;
        auto widened = [factor](int v) { return static_cast<int>(std::lround(v * factor)); };
        for (QWidget* w : placed_) {
            const QRect g = w->geometry();
            w->setGeometry(widened(g.left()), g.top(), widened(g.width()), g.height());
        }
        if (dialog_.minimumWidth() == dialog_.maximumWidth()) {
            dialog_.setFixedWidth(widened(dialog_.width()));
        } else {
            dialog_.resize(widened(dialog_.width()), dialog_.height());
        }
    }

    QWidget& dialog_;
    int baseX_ = 6;
    int baseY_ = 13;
    mutable std::vector<QWidget*> placed_;
};

}  // namespace loudara
