#include "ui/skin.h"

#include <QLinearGradient>
#include <QPainterPath>
#include <QPixmap>
#include <QRadialGradient>
#include <array>
#include <cstring>

namespace loudara {
namespace {

// ---------------------------------------------------------------------------------------------
// Small font: 5 x 7 glyphs in 5 x 10 cells of a 60 x 40 image.

struct Glyph {
    char ch;
    int cellX, cellY;
    const char* rows[7];
};

// clang-format off
const Glyph kGlyphs[] = {
    {'0', 0, 0, {" ### ", "#   #", "#  ##", "# # #", "##  #", "#   #", " ### "}},
    {'1', 5, 0, {"  #  ", " ##  ", "  #  ", "  #  ", "  #  ", "  #  ", " ### "}},
    {'2', 10, 0, {" ### ", "#   #", "    #", "   # ", "  #  ", " #   ", "#####"}},
    {'3', 15, 0, {"#####", "   # ", "  #  ", "   # ", "    #", "#   #", " ### "}},
    {'4', 20, 0, {"   # ", "  ## ", " # # ", "#  # ", "#####", "   # ", "   # "}},
    {'5', 25, 0, {"#####", "#    ", "#### ", "    #", "    #", "#   #", " ### "}},
    {'6', 30, 0, {"  ## ", " #   ", "#    ", "#### ", "#   #", "#   #", " ### "}},
    {'7', 35, 0, {"#####", "    #", "   # ", "  #  ", " #   ", " #   ", " #   "}},
    {'8', 40, 0, {" ### ", "#   #", "#   #", " ### ", "#   #", "#   #", " ### "}},
    {'9', 45, 0, {" ### ", "#   #", "#   #", " ####", "    #", "   # ", " ##  "}},
    {'-', 50, 0, {"     ", "     ", "     ", " ### ", "     ", "     ", "     "}},
    {'.', 55, 0, {"   ", "   ", "   ", "   ", "   ", " ##", " ##"}},
    {'A', 0, 10, {" ### ", "#   #", "#   #", "#####", "#   #", "#   #", "#   #"}},
    {'B', 5, 10, {"#### ", "#   #", "#   #", "#### ", "#   #", "#   #", "#### "}},
    {'C', 10, 10, {" ### ", "#   #", "#    ", "#    ", "#    ", "#   #", " ### "}},
    {'D', 15, 10, {"#### ", "#   #", "#   #", "#   #", "#   #", "#   #", "#### "}},
    {'E', 20, 10, {"#####", "#    ", "#    ", "#### ", "#    ", "#    ", "#####"}},
    {'F', 25, 10, {"#####", "#    ", "#    ", "#### ", "#    ", "#    ", "#    "}},
    {'G', 30, 10, {" ### ", "#   #", "#    ", "# ###", "#   #", "#   #", " ####"}},
    {'H', 35, 10, {"#   #", "#   #", "#   #", "#####", "#   #", "#   #", "#   #"}},
    {'I', 40, 10, {" ### ", "  #  ", "  #  ", "  #  ", "  #  ", "  #  ", " ### "}},
    {'J', 45, 10, {"  ###", "   # ", "   # ", "   # ", "   # ", "#  # ", " ##  "}},
    {'+', 50, 10, {"     ", "  #  ", "  #  ", "#####", "  #  ", "  #  ", "     "}},
    {':', 55, 10, {"   ", " ##", " ##", "   ", " ##", " ##", "   "}},
    {'K', 0, 20, {"#   #", "#  # ", "# #  ", "##   ", "# #  ", "#  # ", "#   #"}},
    {'L', 5, 20, {"#    ", "#    ", "#    ", "#    ", "#    ", "#    ", "#####"}},
    {'M', 10, 20, {"#   #", "## ##", "# # #", "# # #", "#   #", "#   #", "#   #"}},
    {'N', 15, 20, {"#   #", "#   #", "##  #", "# # #", "#  ##", "#   #", "#   #"}},
    {'O', 20, 20, {" ### ", "#   #", "#   #", "#   #", "#   #", "#   #", " ### "}},
    {'P', 25, 20, {"#### ", "#   #", "#   #", "#### ", "#    ", "#    ", "#    "}},
    {'Q', 30, 20, {" ### ", "#   #", "#   #", "#   #", "# # #", "#  # ", " ## #"}},
    {'R', 35, 20, {"#### ", "#   #", "#   #", "#### ", "# #  ", "#  # ", "#   #"}},
    {'S', 40, 20, {" ####", "#    ", "#    ", " ### ", "    #", "    #", "#### "}},
    {'T', 45, 20, {"#####", "  #  ", "  #  ", "  #  ", "  #  ", "  #  ", "  #  "}},
    {'/', 50, 20, {"    #", "    #", "   # ", "  #  ", " #   ", "#    ", "#    "}},
    {'%', 55, 20, {"##  #", "##  #", "   # ", "  #  ", " #   ", "#  ##", "#  ##"}},
    {'U', 0, 30, {"#   #", "#   #", "#   #", "#   #", "#   #", "#   #", " ### "}},
    {'V', 5, 30, {"#   #", "#   #", "#   #", "#   #", "#   #", " # # ", "  #  "}},
    {'W', 10, 30, {"#   #", "#   #", "#   #", "# # #", "# # #", "# # #", " # # "}},
    {'X', 15, 30, {"#   #", "#   #", " # # ", "  #  ", " # # ", "#   #", "#   #"}},
    {'Y', 20, 30, {"#   #", "#   #", " # # ", "  #  ", "  #  ", "  #  ", "  #  "}},
    {'Z', 25, 30, {"#####", "    #", "   # ", "  #  ", " #   ", "#    ", "#####"}},
    {'<', 50, 30, {"   # ", "  #  ", " #   ", "#    ", " #   ", "  #  ", "   # "}},
    {'>', 55, 30, {" #   ", "  #  ", "   # ", "    #", "   # ", "  #  ", " #   "}},
};
// clang-format on

const Glyph* findGlyph(QChar c) {
    const char ch = static_cast<char>(c.toUpper().toLatin1());
    for (const Glyph& g : kGlyphs) {
        if (g.ch == ch) return &g;
    }
    return nullptr;
}

// Colours of the panel.
const QColor kPanelDark(0x1c, 0x20, 0x26);
const QColor kPanelMid(0x2a, 0x30, 0x38);
const QColor kWell(0x0c, 0x0e, 0x11);
const QColor kValueText(0xff, 0xc8, 0x57);    // amber, the knob values
const QColor kCaptionText(0xa8, 0xb8, 0xc8);  // steel blue-grey, the printed captions
const QColor kLedGreen(0x3c, 0xe0, 0x5a);
const QColor kLedYellow(0xf0, 0xd0, 0x30);
const QColor kLedRed(0xff, 0x3a, 0x2a);

QImage blank(int w, int h) {
    QImage image(w, h, QImage::Format_ARGB32_Premultiplied);
    image.fill(Qt::transparent);
    return image;
}

QImage smallFont(const QColor& colour) {
    QImage image = blank(60, 40);
    for (const Glyph& g : kGlyphs) {
        for (int row = 0; row < 7; ++row) {
            const char* bits = g.rows[row];
            for (int col = 0; bits[col] != '\0'; ++col) {
                if (bits[col] == '#') image.setPixelColor(g.cellX + col, g.cellY + row, colour);
            }
        }
    }
    return image;
}

// Seven-segment digits 11 x 15 in cells 20 wide; ":" at 200 and "/" at 220.
QImage largeDigits() {
    QImage image = blank(240, 15);
    QPainter p(&image);
    p.setRenderHint(QPainter::Antialiasing, false);
    const QColor on(0x5c, 0xf0, 0xff);
    // Segments a..g as rectangles within the 11 x 15 glyph.
    const QRect seg[7] = {QRect(2, 0, 7, 2),  QRect(9, 1, 2, 6),  QRect(9, 8, 2, 6), QRect(2, 13, 7, 2),
                          QRect(0, 8, 2, 6),  QRect(0, 1, 2, 6),  QRect(2, 6, 7, 2)};
    const char* lit[10] = {"abcdef", "bc", "abged", "abgcd", "fgbc", "afgcd", "afgedc", "abc", "abcdefg", "abcdfg"};
    for (int d = 0; d < 10; ++d) {
        for (const char* s = lit[d]; *s != '\0'; ++s) p.fillRect(seg[*s - 'a'].translated(d * 20, 0), on);
    }
    p.fillRect(QRect(203, 3, 2, 2), on);
    p.fillRect(QRect(203, 10, 2, 2), on);
    p.setPen(QPen(on, 2));
    p.drawLine(229, 1, 222, 14);
    return image;
}

QColor segmentColour(int segmentFromTop) {
    if (segmentFromTop < 15) return kLedGreen;
    if (segmentFromTop < 21) return kLedYellow;
    return kLedRed;
}

// 25 LED segments of 3 pixels; level n lights the top n segments.
QImage meter(int level) {
    QImage image = blank(24, 75);
    QPainter p(&image);
    p.fillRect(0, 0, 24, 75, kWell);
    for (int s = 0; s < 25; ++s) {
        QColor c = segmentColour(s);
        if (s >= level) c = c.darker(650);
        p.fillRect(2, s * 3, 9, 2, c);
        p.fillRect(13, s * 3, 9, 2, c);
    }
    return image;
}

QImage light(int size, const QColor& colour, bool on) {
    QImage image = blank(size, size);
    QPainter p(&image);
    p.setRenderHint(QPainter::Antialiasing);
    const QRectF r(0.5, 0.5, size - 1.0, size - 1.0);
    p.setPen(QPen(QColor(0, 0, 0), 1));
    QRadialGradient g(r.center() - QPointF(size * 0.15, size * 0.15), size * 0.6);
    const QColor base = on ? colour : colour.darker(450);
    g.setColorAt(0, on ? base.lighter(160) : base.lighter(130));
    g.setColorAt(1, base);
    p.setBrush(g);
    p.drawEllipse(r);
    return image;
}

}  // namespace

// Shared with DrawSkinText: the small-font walk over one font image.
void DrawSkinTextWithFont(QPainter& painter, const QImage& font, int x, int y, const QString& text);

void DrawSkinTextWithFont(QPainter& painter, const QImage& font, int x, int y, const QString& text) {
    for (QChar c : text) {
        if (c == QLatin1Char(' ')) {
            x += 6;
            continue;
        }
        const Glyph* g = findGlyph(c);
        if (g == nullptr) continue;
        const bool narrow = g->ch == '.' || g->ch == ':';
        const int width = narrow ? 3 : 5;
        painter.drawImage(QPoint(x + 1, y + 2), font, QRect(g->cellX, g->cellY, width, 8));
        x += narrow ? 4 : 6;
    }
}

namespace {

QImage lcd(int w, int h, const QImage& font, const char* text, int textX) {
    QImage image = blank(w, h);
    QPainter p(&image);
    p.fillRect(0, 0, w, h, QColor(0x06, 0x10, 0x0c));
    p.setPen(QColor(0x34, 0x3c, 0x44));
    p.drawRect(0, 0, w - 1, h - 1);
    DrawSkinTextWithFont(p, font, textX, 1, QString::fromLatin1(text));
    return image;
}

QImage tint(const QImage& font, const QColor& colour) {
    QImage image = font;
    QPainter p(&image);
    p.setCompositionMode(QPainter::CompositionMode_SourceIn);
    p.fillRect(image.rect(), colour);
    return image;
}

// A panel push button with its caption in the skin font.
QImage button(int w, int h, const QImage& font, const char* text, bool pressed) {
    QImage image = blank(w, h);
    QPainter p(&image);
    QLinearGradient g(0, 0, 0, h);
    g.setColorAt(0, pressed ? QColor(0x3a, 0x42, 0x4c) : QColor(0x86, 0x90, 0x9c));
    g.setColorAt(1, pressed ? QColor(0x2a, 0x30, 0x38) : QColor(0x50, 0x58, 0x62));
    p.fillRect(0, 0, w, h, g);
    p.setPen(pressed ? QColor(0x10, 0x12, 0x14) : QColor(0xc8, 0xd0, 0xd8));
    p.drawLine(0, 0, w - 1, 0);
    p.drawLine(0, 0, 0, h - 1);
    p.setPen(pressed ? QColor(0x60, 0x68, 0x70) : QColor(0x10, 0x12, 0x14));
    p.drawLine(0, h - 1, w - 1, h - 1);
    p.drawLine(w - 1, 0, w - 1, h - 1);
    const int textWidth = static_cast<int>(std::strlen(text)) * 6;
    const int offset = pressed ? 1 : 0;
    DrawSkinTextWithFont(p, tint(font, pressed ? kValueText : QColor(0x10, 0x14, 0x18)),
                         (w - textWidth) / 2 - 1 + offset, 1 + offset, QString::fromLatin1(text));
    return image;
}

enum class Symbol { SeekBack2, SeekBack1, Stop, Play, SeekFwd1, SeekFwd2 };

void drawTriangle(QPainter& p, double x, double y, double w, double h, bool right) {
    QPainterPath path;
    if (right) {
        path.moveTo(x, y);
        path.lineTo(x + w, y + h / 2);
        path.lineTo(x, y + h);
    } else {
        path.moveTo(x + w, y);
        path.lineTo(x, y + h / 2);
        path.lineTo(x + w, y + h);
    }
    path.closeSubpath();
    p.drawPath(path);
}

// Transport buttons side by side (widths 30, 30, 40, 40, 30, 30), the pressed row below.
QImage transportStrip() {
    QImage image = blank(200, 50);
    QPainter p(&image);
    p.setRenderHint(QPainter::Antialiasing);
    const int xs[6] = {0, 30, 60, 100, 140, 170};
    const int ws[6] = {30, 30, 40, 40, 30, 30};
    for (int row = 0; row < 2; ++row) {
        const bool pressed = row == 1;
        for (int i = 0; i < 6; ++i) {
            const QRect r(xs[i], row * 25, ws[i], 25);
            QLinearGradient g(0, r.top(), 0, r.bottom());
            g.setColorAt(0, pressed ? QColor(0x24, 0x28, 0x2e) : QColor(0x74, 0x7e, 0x8a));
            g.setColorAt(1, pressed ? QColor(0x34, 0x3a, 0x42) : QColor(0x3c, 0x44, 0x4e));
            p.setPen(QColor(0x0a, 0x0c, 0x0e));
            p.setBrush(g);
            p.drawRoundedRect(QRectF(r).adjusted(0.5, 0.5, -0.5, -0.5), 3, 3);
            QColor symbol = i == 3 ? QColor(0x5c, 0xe8, 0x6a) : (i == 2 ? QColor(0xff, 0x60, 0x50) : QColor(0xe8, 0xec, 0xf0));
            if (pressed) symbol = symbol.lighter(120);
            p.setPen(Qt::NoPen);
            p.setBrush(symbol);
            const double cx = r.center().x() + 0.5 + (pressed ? 1 : 0);
            const double cy = r.top() + 12.5 + (pressed ? 1 : 0);
            switch (static_cast<Symbol>(i)) {
                case Symbol::SeekBack2:
                    drawTriangle(p, cx - 8, cy - 5, 7, 10, false);
                    drawTriangle(p, cx - 1, cy - 5, 7, 10, false);
                    p.drawRect(QRectF(cx + 6, cy - 5, 2, 10));
                    break;
                case Symbol::SeekBack1: drawTriangle(p, cx - 4, cy - 5, 7, 10, false); break;
                case Symbol::Stop: p.drawRect(QRectF(cx - 6, cy - 6, 12, 12)); break;
                case Symbol::Play: drawTriangle(p, cx - 5, cy - 7, 12, 14, true); break;
                case Symbol::SeekFwd1: drawTriangle(p, cx - 3, cy - 5, 7, 10, true); break;
                case Symbol::SeekFwd2:
                    p.drawRect(QRectF(cx - 8, cy - 5, 2, 10));
                    drawTriangle(p, cx - 6, cy - 5, 7, 10, true);
                    drawTriangle(p, cx + 1, cy - 5, 7, 10, true);
                    break;
            }
        }
    }
    return image;
}

QImage knobArrow(bool up, bool pressed) {
    QImage image = blank(5, 12);
    const QColor c = pressed ? QColor(0xff, 0xff, 0xff) : QColor(0x8c, 0xa0, 0xb4);
    const char* rows[4] = {"  #  ", " ### ", "#####", "#####"};
    for (int r = 0; r < 3; ++r) {
        for (int x = 0; x < 5; ++x) {
            if (rows[r][x] == '#') image.setPixelColor(x, up ? 4 + r : 7 - r, c);
        }
    }
    return image;
}

// ---------------------------------------------------------------------------------------------
// 16-pixel icons of the toolbar, the menus and the playlist rows.

enum class Icon {
    OpenSound, Play, Stop, OpenPlaylist, SavePlaylist, OpenParams, SaveParams, Up, Down, Delete,
    SortAscending, SortDescending, ExportOne, ExportAll, Peak, DeviceSettings, About, Manual, Web,
    PresetDigital, PresetInternet, PresetFm, User1, User2, User3, Bypass, BassEq, PhaseShifter,
    Enhancer, RemoveAll, VirtualSpeaker, VirtualSpeakerInit, OnAir, DeEmphasis, Continuous, Encoder,
    RowPlaying, RowWav, RowMp3, RowWavMarked, RowMp3Exported, RowMp3Failed,
};

void drawNote(QPainter& p, QColor c) {
    p.setPen(QPen(c, 1.6));
    p.drawLine(QPointF(7, 3), QPointF(7, 12));
    p.drawLine(QPointF(7, 3), QPointF(12, 5));
    p.setPen(Qt::NoPen);
    p.setBrush(c);
    p.drawEllipse(QPointF(5, 12), 2.6, 2.1);
}

void drawWave(QPainter& p, QColor c) {
    p.setPen(QPen(c, 1.4));
    QPainterPath path(QPointF(1, 8));
    const double ys[] = {8, 4, 12, 2, 14, 5, 11, 7, 8};
    for (int i = 1; i < 9; ++i) path.lineTo(1 + i * 1.75, ys[i]);
    p.setBrush(Qt::NoBrush);
    p.drawPath(path);
}

void drawFolder(QPainter& p) {
    p.setPen(QColor(0x8a, 0x6a, 0x20));
    p.setBrush(QColor(0xf2, 0xc9, 0x4c));
    QPainterPath path(QPointF(1, 4));
    path.lineTo(6, 4);
    path.lineTo(7, 5.5);
    path.lineTo(14, 5.5);
    path.lineTo(14, 13.5);
    path.lineTo(1, 13.5);
    path.closeSubpath();
    p.drawPath(path);
}

void drawDisk(QPainter& p, QColor c) {
    p.setPen(c.darker(200));
    p.setBrush(c);
    p.drawRect(QRectF(2.5, 2.5, 11, 11));
    p.setBrush(Qt::white);
    p.drawRect(QRectF(5, 3, 6, 4));
    p.setBrush(QColor(0x30, 0x30, 0x30));
    p.drawRect(QRectF(5, 10, 6, 3.5));
}

void drawLetters(QPainter& p, const QString& text, QColor background, QColor foreground) {
    p.setPen(background.darker(180));
    p.setBrush(background);
    p.drawRoundedRect(QRectF(0.5, 2.5, 15, 11), 2, 2);
    QFont font = p.font();
    font.setPixelSize(text.size() > 2 ? 7 : 9);
    font.setBold(true);
    p.setFont(font);
    p.setPen(foreground);
    p.drawText(QRectF(0, 2, 16, 12), Qt::AlignCenter, text);
}

void drawCheck(QPainter& p, QColor c) {
    p.setPen(QPen(c, 2));
    p.drawLine(QPointF(9, 11), QPointF(11, 14));
    p.drawLine(QPointF(11, 14), QPointF(15, 8));
}

void drawCross(QPainter& p, QColor c, QRectF r) {
    p.setPen(QPen(c, 2));
    p.drawLine(r.topLeft(), r.bottomRight());
    p.drawLine(r.topRight(), r.bottomLeft());
}

void drawArrow(QPainter& p, bool up, QColor c) {
    p.setPen(Qt::NoPen);
    p.setBrush(c);
    QPainterPath path;
    if (up) {
        path.moveTo(8, 2);
        path.lineTo(14, 9);
        path.lineTo(10, 9);
        path.lineTo(10, 14);
        path.lineTo(6, 14);
        path.lineTo(6, 9);
        path.lineTo(2, 9);
    } else {
        path.moveTo(8, 14);
        path.lineTo(14, 7);
        path.lineTo(10, 7);
        path.lineTo(10, 2);
        path.lineTo(6, 2);
        path.lineTo(6, 7);
        path.lineTo(2, 7);
    }
    path.closeSubpath();
    p.drawPath(path);
}

void drawSort(QPainter& p, bool ascending) {
    p.setPen(QPen(QColor(0x30, 0x50, 0x90), 1.5));
    for (int i = 0; i < 4; ++i) {
        const double len = ascending ? 3 + 2.5 * i : 10.5 - 2.5 * i;
        p.drawLine(QPointF(1, 3 + 3 * i), QPointF(1 + len, 3 + 3 * i));
    }
    p.setPen(QPen(QColor(0x20, 0x80, 0x30), 1.5));
    p.drawLine(QPointF(13, 2), QPointF(13, 14));
    if (ascending) {
        p.drawLine(QPointF(13, 2), QPointF(10.5, 5));
        p.drawLine(QPointF(13, 2), QPointF(15.5, 5));
    } else {
        p.drawLine(QPointF(13, 14), QPointF(10.5, 11));
        p.drawLine(QPointF(13, 14), QPointF(15.5, 11));
    }
}

void drawSpeaker(QPainter& p, QColor c) {
    p.setPen(c.darker(160));
    p.setBrush(c);
    QPainterPath path(QPointF(2, 6));
    path.lineTo(5, 6);
    path.lineTo(9, 2.5);
    path.lineTo(9, 13.5);
    path.lineTo(5, 10);
    path.lineTo(2, 10);
    path.closeSubpath();
    p.drawPath(path);
    p.setBrush(Qt::NoBrush);
    p.setPen(QPen(c.darker(130), 1.2));
    p.drawArc(QRectF(7, 4.5, 6, 7), -50 * 16, 100 * 16);
    p.drawArc(QRectF(7, 2, 9, 12), -50 * 16, 100 * 16);
}

// Drawn in 16 by 16 units; `scale` 2 gives the same picture at twice the pixels for displays
// with a device pixel ratio of 2.
QImage icon(Icon kind, int scale = 1) {
    QImage image = blank(16 * scale, 16 * scale);
    image.setDevicePixelRatio(scale);
    QPainter p(&image);
    p.setRenderHint(QPainter::Antialiasing);
    const QColor green(0x1e, 0xa0, 0x3c), red(0xd8, 0x30, 0x28), blue(0x2c, 0x6c, 0xd0), orange(0xe8, 0x80, 0x10);
    switch (kind) {
        case Icon::OpenSound:
            drawFolder(p);
            drawNote(p, QColor(0x20, 0x40, 0x90));
            break;
        case Icon::Play:
        case Icon::RowPlaying:
            p.setPen(green.darker(150));
            p.setBrush(green);
            drawTriangle(p, 3.5, 2.5, 10, 11, true);
            break;
        case Icon::Stop:
            p.setPen(red.darker(150));
            p.setBrush(red);
            p.drawRect(QRectF(3.5, 3.5, 9, 9));
            break;
        case Icon::OpenPlaylist:
            drawFolder(p);
            p.setPen(QPen(QColor(0x40, 0x30, 0x10), 1));
            for (int i = 0; i < 3; ++i) p.drawLine(QPointF(4, 8 + 2 * i), QPointF(11, 8 + 2 * i));
            break;
        case Icon::SavePlaylist: drawDisk(p, blue); break;
        case Icon::OpenParams:
            drawFolder(p);
            p.setPen(QPen(QColor(0x40, 0x30, 0x10), 1.2));
            p.drawLine(QPointF(5, 7), QPointF(5, 12));
            p.drawLine(QPointF(10, 7), QPointF(10, 12));
            break;
        case Icon::SaveParams: drawDisk(p, QColor(0x60, 0x40, 0xa0)); break;
        case Icon::Up: drawArrow(p, true, blue); break;
        case Icon::Down: drawArrow(p, false, blue); break;
        case Icon::Delete: drawCross(p, red, QRectF(3, 3, 10, 10)); break;
        case Icon::SortAscending: drawSort(p, true); break;
        case Icon::SortDescending: drawSort(p, false); break;
        case Icon::ExportOne:
        case Icon::ExportAll: {
            const int copies = kind == Icon::ExportAll ? 2 : 1;
            for (int i = copies - 1; i >= 0; --i) {
                p.setPen(QColor(0x60, 0x60, 0x60));
                p.setBrush(Qt::white);
                p.drawRect(QRectF(1.5 + 2 * i, 1.5 + 2 * i, 8, 10));
            }
            p.setPen(QPen(green, 2));
            p.drawLine(QPointF(7, 11), QPointF(14, 11));
            p.drawLine(QPointF(14, 11), QPointF(11, 8));
            p.drawLine(QPointF(14, 11), QPointF(11, 14));
            break;
        }
        case Icon::Peak:
            p.setPen(Qt::NoPen);
            for (int i = 0; i < 4; ++i) {
                const double h = 4 + 3 * i;
                p.setBrush(i == 3 ? red : green);
                p.drawRect(QRectF(1 + 4 * i, 15 - h, 3, h));
            }
            break;
        case Icon::DeviceSettings: drawSpeaker(p, QColor(0x50, 0x58, 0x68)); break;
        case Icon::About:
            p.setPen(blue.darker(140));
            p.setBrush(blue);
            p.drawEllipse(QRectF(1.5, 1.5, 13, 13));
            p.setPen(QPen(Qt::white, 2));
            p.drawPoint(QPointF(8, 4.8));
            p.drawLine(QPointF(8, 7), QPointF(8, 12));
            break;
        case Icon::Manual:
            p.setPen(QColor(0x30, 0x30, 0x60));
            p.setBrush(QColor(0x40, 0x60, 0xb0));
            p.drawRect(QRectF(2.5, 1.5, 11, 13));
            p.setBrush(Qt::white);
            p.drawRect(QRectF(4.5, 3.5, 7, 4));
            break;
        case Icon::Web:
            p.setPen(QPen(blue, 1.2));
            p.setBrush(QColor(0xd8, 0xe8, 0xff));
            p.drawEllipse(QRectF(1.5, 1.5, 13, 13));
            p.setBrush(Qt::NoBrush);
            p.drawEllipse(QRectF(5, 1.5, 6, 13));
            p.drawLine(QPointF(1.5, 8), QPointF(14.5, 8));
            break;
        case Icon::PresetDigital: drawLetters(p, "DAB", QColor(0x20, 0x60, 0xc0), Qt::white); break;
        case Icon::PresetInternet: drawLetters(p, "WEB", QColor(0x20, 0x90, 0x70), Qt::white); break;
        case Icon::PresetFm: drawLetters(p, "FM", QColor(0xd0, 0x60, 0x10), Qt::white); break;
        case Icon::User1: drawLetters(p, "U1", QColor(0x70, 0x40, 0xa0), Qt::white); break;
        case Icon::User2: drawLetters(p, "U2", QColor(0x70, 0x40, 0xa0), Qt::white); break;
        case Icon::User3: drawLetters(p, "U3", QColor(0x70, 0x40, 0xa0), Qt::white); break;
        case Icon::Bypass:
            p.setPen(QPen(QColor(0x50, 0x50, 0x50), 1.6));
            p.setBrush(Qt::NoBrush);
            p.drawLine(QPointF(1, 10), QPointF(15, 10));
            p.setPen(QPen(orange, 1.6));
            p.drawArc(QRectF(3, 3, 10, 12), 0, 180 * 16);
            break;
        case Icon::BassEq:
            p.setPen(QPen(QColor(0xa0, 0x30, 0x30), 1.6));
            p.setBrush(Qt::NoBrush);
            {
                QPainterPath path(QPointF(1, 12));
                path.cubicTo(QPointF(3, 12), QPointF(3, 3), QPointF(6, 3));
                path.cubicTo(QPointF(9, 3), QPointF(8, 12), QPointF(15, 12));
                p.drawPath(path);
            }
            break;
        case Icon::PhaseShifter:
            p.setPen(QPen(blue, 1.4));
            p.setBrush(Qt::NoBrush);
            p.drawArc(QRectF(1, 4, 7, 8), 0, 180 * 16);
            p.drawArc(QRectF(8, 4, 7, 8), 180 * 16, 180 * 16);
            p.setPen(QPen(red, 1.4));
            p.drawArc(QRectF(1, 4, 7, 8), 180 * 16, 180 * 16);
            p.drawArc(QRectF(8, 4, 7, 8), 0, 180 * 16);
            break;
        case Icon::Enhancer:
            p.setPen(QPen(QColor(0x20, 0x80, 0xa0), 1.6));
            p.drawLine(QPointF(6, 8), QPointF(1, 8));
            p.drawLine(QPointF(1, 8), QPointF(3.5, 5.5));
            p.drawLine(QPointF(1, 8), QPointF(3.5, 10.5));
            p.drawLine(QPointF(10, 8), QPointF(15, 8));
            p.drawLine(QPointF(15, 8), QPointF(12.5, 5.5));
            p.drawLine(QPointF(15, 8), QPointF(12.5, 10.5));
            break;
        case Icon::RemoveAll:
            p.setPen(QColor(0x60, 0x60, 0x60));
            p.setBrush(Qt::white);
            p.drawRect(QRectF(1.5, 1.5, 10, 12));
            p.setPen(QColor(0xa0, 0xa0, 0xa0));
            for (int i = 0; i < 4; ++i) p.drawLine(QPointF(3, 4 + 2.5 * i), QPointF(10, 4 + 2.5 * i));
            drawCross(p, red, QRectF(8, 8, 7, 7));
            break;
        case Icon::VirtualSpeaker: drawSpeaker(p, QColor(0x30, 0x90, 0x60)); break;
        case Icon::VirtualSpeakerInit:
            drawSpeaker(p, QColor(0x30, 0x90, 0x60));
            p.setPen(QPen(orange, 1.6));
            p.setBrush(Qt::NoBrush);
            p.drawArc(QRectF(8, 8, 7, 7), 30 * 16, 280 * 16);
            break;
        case Icon::OnAir: drawLetters(p, "AIR", red, Qt::white); break;
        case Icon::DeEmphasis:
            p.setPen(QPen(QColor(0x30, 0x60, 0x30), 1.6));
            p.setBrush(Qt::NoBrush);
            {
                QPainterPath path(QPointF(1, 5));
                path.lineTo(6, 5);
                path.cubicTo(QPointF(10, 5), QPointF(11, 12), QPointF(15, 12));
                p.drawPath(path);
            }
            break;
        case Icon::Continuous:
            p.setPen(QPen(green, 1.6));
            p.setBrush(Qt::NoBrush);
            p.drawArc(QRectF(2, 3, 12, 10), 30 * 16, 300 * 16);
            p.drawLine(QPointF(13.5, 5), QPointF(13.5, 1.5));
            p.drawLine(QPointF(13.5, 5), QPointF(10, 5));
            break;
        case Icon::Encoder:
            p.setPen(QPen(QColor(0x50, 0x50, 0x50), 2.5));
            for (int i = 0; i < 4; ++i) {
                p.save();
                p.translate(8, 8);
                p.rotate(45.0 * i);
                p.drawLine(QPointF(-6.5, 0), QPointF(6.5, 0));
                p.restore();
            }
            p.setPen(QColor(0x30, 0x30, 0x30));
            p.setBrush(QColor(0xb0, 0xb0, 0xb0));
            p.drawEllipse(QPointF(8, 8), 4, 4);
            p.setBrush(Qt::white);
            p.drawEllipse(QPointF(8, 8), 1.6, 1.6);
            break;
        case Icon::RowWav: drawWave(p, blue); break;
        case Icon::RowMp3: drawNote(p, orange); break;
        case Icon::RowWavMarked:
            drawWave(p, blue);
            drawCheck(p, green);
            break;
        case Icon::RowMp3Exported:
            drawNote(p, orange);
            drawCheck(p, green);
            break;
        case Icon::RowMp3Failed:
            drawNote(p, orange);
            drawCross(p, red, QRectF(10, 9, 5, 5));
            break;
    }
    return image;
}

// The toolbar strip, index by index.
constexpr Icon kToolbarIcons[kToolbarImages] = {
    Icon::OpenSound,     Icon::Play,           Icon::Stop,          Icon::OpenPlaylist,   Icon::SavePlaylist,
    Icon::OpenParams,    Icon::SaveParams,     Icon::Up,            Icon::Down,           Icon::Delete,
    Icon::SortAscending, Icon::SortDescending, Icon::ExportOne,     Icon::ExportAll,      Icon::Peak,
    Icon::DeviceSettings, Icon::About,         Icon::Manual,        Icon::PresetDigital,  Icon::PresetInternet,
    Icon::PresetFm,      Icon::User1,          Icon::User2,         Icon::User3,          Icon::Bypass,
    Icon::BassEq,        Icon::Enhancer,       Icon::Continuous,    Icon::RemoveAll,
};

// Menu images 281..318.
constexpr Icon kMenuIcons[img::MenuLast - img::MenuFirst + 1] = {
    Icon::OpenPlaylist,   Icon::SavePlaylist,   Icon::OpenSound,      Icon::DeviceSettings,  // 281..284
    Icon::OpenParams,     Icon::SaveParams,                                                  // 285, 286
    Icon::PresetDigital,  Icon::PresetInternet, Icon::PresetFm,                              // 287..289
    Icon::User1,          Icon::User2,          Icon::User3,                                 // 290..292
    Icon::Bypass,         Icon::BassEq,         Icon::PhaseShifter,   Icon::Enhancer,        // 293..296
    Icon::VirtualSpeaker, Icon::VirtualSpeakerInit, Icon::OnAir,      Icon::DeEmphasis,      // 297..300
    Icon::Play,           Icon::Stop,           Icon::Up,             Icon::Down,            // 301..304
    Icon::Continuous,     Icon::SortDescending, Icon::SortAscending,  Icon::Peak,            // 305..308
    Icon::RemoveAll,      Icon::ExportOne,      Icon::ExportAll,      Icon::Encoder,         // 309..312
    Icon::About,          Icon::About,          Icon::Manual,         Icon::Manual,          // 313..316
    Icon::Web,            Icon::Delete,                                                      // 317, 318
};

constexpr Icon kRowIcons[kRowIconCount] = {Icon::RowPlaying, Icon::RowWav, Icon::RowMp3, Icon::RowWavMarked,
                               Icon::RowMp3Exported, Icon::RowMp3Failed};

// ---------------------------------------------------------------------------------------------
// The panel background: a dark rack panel with recessed sections whose captions sit at the
// knob positions (panel coordinates; the image is drawn 28 pixels down).

class BackgroundPainter {
public:
    BackgroundPainter(QImage& image, const QImage& captionFont, const QImage& titleFont)
        : p_(&image), caption_(captionFont), title_(titleFont) {}

    void section(int left, int top, int right, int bottom) {
        const QRect r(left, top - kBackgroundTop, right - left, bottom - top);
        p_.fillRect(r, kPanelMid);
        p_.setPen(QColor(0x0e, 0x10, 0x13));
        p_.drawLine(r.topLeft(), r.topRight());
        p_.drawLine(r.topLeft(), r.bottomLeft());
        p_.setPen(QColor(0x44, 0x4c, 0x56));
        p_.drawLine(r.bottomLeft(), r.bottomRight());
        p_.drawLine(r.topRight(), r.bottomRight());
    }
    void well(int left, int top, int width, int height) {
        p_.fillRect(QRect(left - 1, top - 1 - kBackgroundTop, width + 2, height + 2), kWell);
    }
    void caption(int x, int y, const char* text) {
        DrawSkinTextWithFont(p_, caption_, x, y - kBackgroundTop, QString::fromLatin1(text));
    }
    // The caption of the knob at (x, y): two pixels left of it, so five letters clear its down arrow.
    void knobCaption(int x, int y, const char* text) { caption(x - 2, y, text); }
    // A title centred over [left, right).
    void title(int left, int right, int y, const char* text) {
        const int width = static_cast<int>(std::strlen(text)) * 6;
        DrawSkinTextWithFont(p_, title_, (left + right - width) / 2, y - kBackgroundTop, QString::fromLatin1(text));
    }
    QPainter& painter() { return p_; }

private:
    QPainter p_;
    QImage caption_, title_;
};

QImage background(const QImage& captionFont) {
    QImage image(745, 284, QImage::Format_ARGB32_Premultiplied);
    {
        QPainter p(&image);
        QLinearGradient g(0, 0, 0, 284);
        g.setColorAt(0, QColor(0x26, 0x2b, 0x32));
        g.setColorAt(1, kPanelDark);
        p.fillRect(image.rect(), g);
        // Fine horizontal brushing.
        p.setPen(QColor(255, 255, 255, 6));
        for (int y = 0; y < 284; y += 2) p.drawLine(0, y, 744, y);
    }
    const QImage titleFont = tint(captionFont, QColor(0xe8, 0xec, 0xf0));
    BackgroundPainter b(image, captionFont, titleFont);

    // Brand line.
    {
        QPainter& p = b.painter();
        QFont font("DejaVu Sans");
        font.setPixelSize(12);
        font.setBold(true);
        font.setLetterSpacing(QFont::AbsoluteSpacing, 2);
        p.setFont(font);
        p.setPen(QColor(0xf0, 0xf2, 0xf4));
        p.drawText(QRect(8, 1, 120, 14), Qt::AlignLeft | Qt::AlignVCenter, "LOUDARA");
    }
    b.caption(100, 29, "BROADCAST SOUND PROCESSOR");

    // Meter section: enhancer, input, AGC, HF, six bands, output.
    b.section(2, 42, 396, 138);
    b.well(6, 44, 12, 75);
    b.well(33, 44, 48, 75);
    b.well(94, 44, 48, 75);
    b.well(145, 44, 26, 75);
    b.well(187, 44, 144, 80);
    b.well(345, 44, 48, 80);
    b.knobCaption(3, 126, "ENH");
    b.caption(42, 126, "IN");
    b.caption(108, 126, "AGC");
    b.caption(152, 126, "HF");
    for (int band = 0; band < 6; ++band) {
        char text[3] = {'B', static_cast<char>('1' + band), '\0'};
        b.caption(187 + 24 * band + 5, 126, text);
    }
    b.caption(360, 126, "OUT");

    // Display window and transport.
    b.section(399, 30, 743, 88);
    b.well(401, 31, 272, 19);
    {
        QPainter& p = b.painter();
        QFont font("DejaVu Sans");
        font.setPixelSize(15);
        font.setBold(true);
        font.setLetterSpacing(QFont::AbsoluteSpacing, 1);
        p.setFont(font);
        p.setPen(QColor(0xff, 0xc8, 0x57));
        p.drawText(QRect(626, 56 - kBackgroundTop, 114, 18), Qt::AlignCenter, "LOUDARA");
    }
    b.caption(660, 74, "V3.04");

    // Switches.
    b.section(399, 90, 743, 142);

    // Knob sections.
    b.section(1, 143, 94, 274);
    b.title(1, 95, 146, "AGC");
    b.knobCaption(3, 159, "DEPTH");
    b.knobCaption(3, 173, "THRSH");
    b.knobCaption(3, 187, "SPEED");
    b.title(1, 95, 206, "BASS EQ");
    b.knobCaption(3, 219, "FREQ");
    b.knobCaption(3, 233, "GAIN");
    b.knobCaption(3, 247, "Q");

    b.section(95, 143, 181, 274);
    b.title(96, 182, 146, "BAND ENV");
    b.knobCaption(98, 160, "ATTCK");
    b.knobCaption(98, 174, "RLSE");
    b.title(96, 182, 205, "ENHANCER");
    b.knobCaption(98, 218, "DEPTH");
    b.knobCaption(98, 232, "DELAY");
    b.knobCaption(98, 246, "MODE");

    b.section(182, 143, 266, 274);
    b.title(183, 266, 146, "EMPHASIS");
    b.knobCaption(185, 160, "PRE");
    b.title(183, 266, 182, "HF LIMITER");
    b.knobCaption(185, 195, "THRSH");
    b.knobCaption(185, 209, "DEPTH");
    b.title(183, 266, 234, "B1 REDUCTION");
    b.knobCaption(185, 247, "DELAY");

    b.section(267, 143, 645, 274);
    const int columnX[6] = {286, 341, 396, 451, 506, 561};
    const char* columnTitle[6] = {"GATE", "DRIVE", "DEPTH", "THRESH", "CLIP", "OUTPUT"};
    for (int c = 0; c < 6; ++c) b.title(columnX[c] + 30, columnX[c] + 81, 147, columnTitle[c]);
    const int rowY[6] = {161, 175, 189, 203, 217, 231};
    for (int band = 0; band < 6; ++band) {
        char text[3] = {'B', static_cast<char>('1' + band), '\0'};
        b.caption(269, rowY[band], text);
    }
    b.painter().setPen(QColor(0x44, 0x4c, 0x56));
    b.painter().drawLine(270, 243 - kBackgroundTop, 642, 243 - kBackgroundTop);
    b.caption(269, 245, "ALL");

    b.section(646, 143, 743, 274);
    b.title(646, 743, 146, "FINAL");
    b.knobCaption(653, 159, "CLIP");
    b.knobCaption(653, 173, "LPF");
    b.knobCaption(653, 187, "TYPE");
    b.title(646, 743, 207, "POST CLIP");
    b.knobCaption(653, 221, "LEVEL");
    b.knobCaption(653, 256, "CEIL");

    // Virtual speaker row.
    b.section(1, 276, 743, 311);
    b.title(211 + 30, 211 + 81, 280, "SPACING");
    b.title(321 + 30, 321 + 81, 280, "DISTANCE");
    b.title(432 + 30, 432 + 81, 280, "REFLECT");
    b.title(542 + 30, 542 + 81, 280, "CHANNELS");
    return image;
}

QImage appIcon() {
    QImage image = blank(32, 32);
    QPainter p(&image);
    p.setRenderHint(QPainter::Antialiasing);
    p.setPen(QColor(0x0a, 0x0c, 0x0e));
    p.setBrush(kPanelMid);
    p.drawRoundedRect(QRectF(0.5, 0.5, 31, 31), 5, 5);
    const int heights[5] = {10, 18, 24, 16, 8};
    for (int i = 0; i < 5; ++i) {
        for (int s = 0; s < heights[i] / 2; ++s) {
            p.fillRect(QRectF(4 + 5 * i, 27 - 2 * s, 4, 1.4), segmentColour(24 - s * 2));
        }
    }
    return image;
}

}  // namespace

Skin::Skin() {
    const QImage valueFont = smallFont(kValueText);
    const QImage captionFont = smallFont(kCaptionText);
    images_[img::SmallFont] = valueFont;
    images_[img::SmallFontAlt] = captionFont;
    images_[img::LargeDigits] = largeDigits();
    for (int level = 0; level <= 24; ++level) images_[img::MeterFirst + level] = meter(level);
    images_[img::Background] = background(captionFont);
    images_[img::KnobUpPressed] = knobArrow(true, true);
    images_[img::KnobUp] = knobArrow(true, false);
    images_[img::KnobDownPressed] = knobArrow(false, true);
    images_[img::KnobDown] = knobArrow(false, false);
    {
        QImage off = blank(24, 4), on = blank(24, 4);
        off.fill(kLedRed.darker(500));
        on.fill(kLedRed);
        images_[img::ClipOff] = off;
        images_[img::ClipOn] = on;
    }
    images_[img::GateLight0] = light(9, kLedRed, true);
    images_[img::GateLight1] = light(9, QColor(0xff, 0x90, 0x20), true);
    images_[img::GateLight2] = light(9, kLedYellow, true);
    images_[img::GateLight3] = light(9, kLedGreen, false);
    const QImage lcdFont = tint(valueFont, QColor(0x5c, 0xf0, 0xff));
    const QImage lcdDim = tint(valueFont, QColor(0x1c, 0x40, 0x48));
    images_[img::RateNone] = lcd(93, 12, lcdDim, "--.- KHZ", 22);
    images_[img::Rate32] = lcd(93, 12, lcdFont, "32 KHZ", 28);
    images_[img::Rate44] = lcd(93, 12, lcdFont, "44.1 KHZ", 22);
    images_[img::Rate48] = lcd(93, 12, lcdFont, "48 KHZ", 28);
    images_[img::ChannelsNone] = lcd(76, 12, lcdDim, "------", 19);
    images_[img::Stereo] = lcd(76, 12, lcdFont, "STEREO", 19);
    images_[img::Mono] = lcd(76, 12, lcdFont, "MONO", 25);
    images_[img::LightOff] = light(14, kLedGreen, false);
    images_[img::LightOn] = light(14, kLedGreen, true);
    images_[img::TransportStrip] = transportStrip();

    struct ButtonFace {
        int normal, pressed;
        const char* text;
    };
    const ButtonFace faces[] = {{248, 249, "BYPASS"},       {244, 245, "BASS EQ"},      {246, 247, "PHASE SHIFT"},
                                {254, 255, "ENHANCER"},     {252, 253, "DE-EMPHASIS"},  {250, 251, "CONTINUOUS"},
                                {277, 612, "GATE"},         {273, 274, "VIRTUAL SPKR"}};
    for (const ButtonFace& f : faces) {
        images_[f.normal] = button(93, 15, valueFont, f.text, false);
        images_[f.pressed] = button(93, 15, valueFont, f.text, true);
    }
    images_[img::TruePeakNormal] = button(72, 15, valueFont, "TP LIMITER", false);
    images_[img::TruePeakPressed] = button(72, 15, valueFont, "TP LIMITER", true);
    images_[img::ResetNormal] = button(34, 15, valueFont, "RESET", false);
    images_[img::ResetPressed] = button(34, 15, valueFont, "RESET", true);

    QImage strip = blank(16 * kToolbarImages, 16);
    {
        QPainter p(&strip);
        for (int i = 0; i < kToolbarImages; ++i) p.drawImage(16 * i, 0, icon(kToolbarIcons[i]));
    }
    images_[img::ToolbarStrip] = strip;
    for (int i = 0; i < kToolbarImages; ++i) toolbarImages2x_[i] = icon(kToolbarIcons[i], 2);
    for (int n = img::MenuFirst; n <= img::MenuLast; ++n) images_[n] = icon(kMenuIcons[n - img::MenuFirst]);
    for (int i = 0; i < kRowIconCount; ++i) rowIcons_[i] = icon(kRowIcons[i]);
    images_[img::AppIcon] = loudara::appIcon();
}

const QImage& Skin::image(int number) const {
    const auto it = images_.find(number);
    return it == images_.end() ? none_ : it->second;
}

QIcon Skin::toolbarIcon(int index) const {
    QIcon icon(QPixmap::fromImage(image(img::ToolbarStrip).copy(16 * index, 0, 16, 16)));
    if (index >= 0 && index < kToolbarImages) icon.addPixmap(QPixmap::fromImage(toolbarImages2x_[index]));
    return icon;
}

QIcon Skin::menuIcon(int number) const { return QIcon(QPixmap::fromImage(image(number))); }

QIcon Skin::rowIcon(int icon) const {
    return icon >= 0 && icon < kRowIconCount ? QIcon(QPixmap::fromImage(rowIcons_[icon])) : QIcon();
}

QIcon Skin::appIcon() const { return QIcon(QPixmap::fromImage(image(img::AppIcon))); }

void DrawSkinText(QPainter& painter, const Skin& skin, int x, int y, const QString& text, SkinTextStyle style) {
    if (style != SkinTextStyle::Large) {
        DrawSkinTextWithFont(painter, skin.image(style == SkinTextStyle::Small ? img::SmallFont : img::SmallFontAlt), x, y,
                             text);
        return;
    }
    const QImage& digits = skin.image(img::LargeDigits);
    for (QChar c : text) {
        if (c >= QLatin1Char('0') && c <= QLatin1Char('9')) {
            painter.drawImage(QPoint(x, y), digits, QRect((c.unicode() - '0') * 20, 0, 11, 15));
            x += 13;
        } else if (c == QLatin1Char(':')) {
            painter.drawImage(QPoint(x, y), digits, QRect(200, 0, 8, 15));
            x += 10;
        } else if (c == QLatin1Char('/')) {
            painter.drawImage(QPoint(x, y), digits, QRect(220, 0, 11, 15));
            x += 13;
        } else if (c == QLatin1Char(' ')) {
            x += 13;
        }
    }
}

}  // namespace loudara
