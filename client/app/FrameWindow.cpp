#include "app/FrameWindow.h"

#include <QGuiApplication>
#include <QPainter>
#include <QScreen>

namespace tavelcast {

FrameWindow::FrameWindow()
    : QWidget(nullptr, Qt::FramelessWindowHint | Qt::WindowStaysOnTopHint |
                           Qt::X11BypassWindowManagerHint | Qt::WindowDoesNotAcceptFocus) {
    setWindowTitle("Tavelseats - teacher's screen");
    setAttribute(Qt::WA_OpaquePaintEvent);
    setAttribute(Qt::WA_NoSystemBackground);
    setAttribute(Qt::WA_ShowWithoutActivating);
    setCursor(Qt::BlankCursor);
}

void FrameWindow::present(QImage frame) {
    m_frame = std::move(frame);
    ++m_shown;
    if (!isVisible()) {
        if (const QScreen* screen = QGuiApplication::primaryScreen()) {
            setGeometry(screen->geometry());
        }
        show();
        raise();
    }
    update();
}

void FrameWindow::dismiss() {
    hide();
    m_frame = QImage();
}

void FrameWindow::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    const QSize area = size();
    if (m_frame.isNull()) {
        painter.fillRect(rect(), Qt::black);
        return;
    }
    // The frame already fits; scale again only if the window differs from the screen.
    QSize shown = m_frame.size();
    if (shown.width() > area.width() || shown.height() > area.height()) {
        shown.scale(area, Qt::KeepAspectRatio);
    }
    const QRect target(
        QPoint((area.width() - shown.width()) / 2, (area.height() - shown.height()) / 2), shown);
    const QRegion around = QRegion(rect()).subtracted(target);
    for (const QRect& part : around) {
        painter.fillRect(part, Qt::black);
    }
    if (shown == m_frame.size()) {
        painter.drawImage(target.topLeft(), m_frame);
    } else {
        painter.setRenderHint(QPainter::SmoothPixmapTransform);
        painter.drawImage(target, m_frame);
    }
}

} // namespace tavelcast
