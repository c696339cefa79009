#include "app/FrameWindow.h"

#include "core/SeatsLog.h"

#include <cstdio>

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
        m_shownAtStart = m_shown - 1;
        m_since.start();
        if (const QScreen* screen = QGuiApplication::primaryScreen()) {
            setGeometry(screen->geometry());
        }
        show();
        raise();
    }
    update();
}

void FrameWindow::dismiss() {
    if (isVisible()) {
        const double seconds = static_cast<double>(m_since.elapsed()) / 1000.0;
        const quint64 frames = m_shown - m_shownAtStart;
        char rate[32];
        std::snprintf(rate, sizeof rate, "%.1f", seconds > 0 ? frames / seconds : 0.0);
        seatsLog("showed " + std::to_string(frames) + " frames of the teacher's screen in " +
                 std::to_string(static_cast<long>(seconds)) + " s (" + rate + " frames/s)");
    }
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
