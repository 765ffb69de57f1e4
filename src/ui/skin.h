#pragma once
// The skin: every image of the panel, the toolbar, the menus and the playlist rows, painted once
// at start-up into images named by their numbers, and the two bitmap fonts that DrawSkinText
// reads from.

#include <QIcon>
#include <QImage>
#include <QPainter>
#include <QString>
#include <map>

namespace loudara {

// Image numbers and sizes the panel drawing relies on.
namespace img {
inline constexpr int AppIcon = 113;
inline constexpr int MeterFirst = 128;     // 128..152: levels 0..24, 24 x 75
inline constexpr int Background = 153;     // 745 x 284, drawn at (0, 28)
inline constexpr int KnobUpPressed = 154, KnobUp = 155, KnobDownPressed = 156, KnobDown = 157;  // 5 x 12
inline constexpr int ClipOff = 158, ClipOn = 159;  // 24 x 4
inline constexpr int RateNone = 171, Rate32 = 172, Rate44 = 173, Rate48 = 174;  // 93 x 12
inline constexpr int ChannelsNone = 175, Stereo = 176, Mono = 177;              // 76 x 12
// The playlist row icons 240..245 are icons, not bitmaps: their numbers overlap the panel's
// (243 is also the small font), so the skin keeps them apart (Skin::rowIcon).
inline constexpr int SmallFont = 243, SmallFontAlt = 258;  // 60 x 40
inline constexpr int LightOff = 256, LightOn = 257;        // 14 x 14
inline constexpr int TransportStrip = 260;                 // 200 x 50
inline constexpr int LargeDigits = 261;                    // 240 x 15
inline constexpr int ResetNormal = 275, ResetPressed = 276;
inline constexpr int TruePeakNormal = 279, TruePeakPressed = 280;  // 72 x 15
inline constexpr int GateLight0 = 278, GateLight1 = 613, GateLight2 = 614, GateLight3 = 615;  // 9 x 9
inline constexpr int ToolbarStrip = 611;  // 29 images of 16 x 16
inline constexpr int MenuFirst = 281, MenuLast = 318;
}  // namespace img

inline constexpr int kToolbarImages = 29;
inline constexpr int kRowIconCount = 6;
inline constexpr int kBackgroundTop = 28;

enum class SkinTextStyle { Small = 0, SmallAlt = 1, Large = 2 };

class Skin {
public:
    // Paints every image.
    Skin();
    // The image of a number; a null image for a number the skin does not have.
    const QImage& image(int number) const;
    // Image `index` of the toolbar strip, with a picture drawn at twice the pixels for a device
    // pixel ratio of 2.
    QIcon toolbarIcon(int index) const;
    QIcon menuIcon(int number) const;
    // Row icon 0..5 in the order of SongIcon (image 240 + icon).
    QIcon rowIcon(int icon) const;
    QIcon appIcon() const;

private:
    std::map<int, QImage> images_;
    QImage rowIcons_[kRowIconCount];
    QImage toolbarImages2x_[kToolbarImages];
    QImage none_;
};

// Draws `text` at (x, y) in one of the skin fonts; lower case is shown in capitals and
// characters without a glyph are skipped.
void DrawSkinText(QPainter& painter, const Skin& skin, int x, int y, const QString& text, SkinTextStyle style);

}  // namespace loudara
