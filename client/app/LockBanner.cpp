#include "app/LockBanner.h"

#include <QGuiApplication>
#include <QScreen>

namespace tavelcast {

LockBanner::LockBanner()
    : QLabel(nullptr, Qt::FramelessWindowHint | Qt::WindowStaysOnTopHint |
                          Qt::X11BypassWindowManagerHint | Qt::WindowDoesNotAcceptFocus) {
    setWindowTitle("Tavelseats - keyboard locked");
    setText("Keyboard locked by your teacher");
    setAlignment(Qt::AlignCenter);
    setAttribute(Qt::WA_ShowWithoutActivating);
    setStyleSheet("QLabel { background: #8b1a1a; color: white; font-size: 16px; "
                  "font-weight: bold; padding: 8px 20px; border: 1px solid #400; }");
    adjustSize();
}

void LockBanner::showOnTop() {
    adjustSize();
    if (const QScreen* screen = QGuiApplication::primaryScreen()) {
        const QRect area = screen->geometry();
        move(area.x() + (area.width() - width()) / 2, area.y() + 8);
    }
    show();
    raise();
}

} // namespace tavelcast
