// Dialog units: the windows' layouts are given in them, as a quarter of the font's average
// character width horizontally and an eighth of its height vertically, so the layout scales
// with the font instead of being tied to pixels.
#pragma once

#include <QFont>
#include <QFontMetrics>
#include <QRect>

namespace tarnet::desktop {

class DialogUnits {
  public:
    explicit DialogUnits(const QFont& font) {
        const QFontMetrics metrics(font);
        // The average over the 52 letters, as the dialog-unit convention measures it.
        const int letters = metrics.horizontalAdvance(
            QStringLiteral("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz"));
        baseX_ = (letters / 26 + 1) / 2;
        baseY_ = metrics.height();
    }

    int X(int units) const { return units * baseX_ / 4; }
    int Y(int units) const { return units * baseY_ / 8; }
    QRect Rect(int x, int y, int width, int height) const {
        return {X(x), Y(y), X(width), Y(height)};
    }

  private:
    int baseX_ = 6;
    int baseY_ = 13;
};

}  // namespace tarnet::desktop
