#include "forms/SnapshotClientsImageButton.h"

#include <QPainter>
#include <QSvgRenderer>

namespace tavelcast {

SnapshotClientsImageButton::SnapshotClientsImageButton(const QString& image,
                                                       const QString& hoverImage, QSize size,
                                                       QWidget* parent)
    : QAbstractButton(parent) {
    setFixedSize(size);
    setCursor(Qt::PointingHandCursor);
    setFocusPolicy(Qt::NoFocus);
    m_normal = render(image, size);
    if (!hoverImage.isEmpty()) {
        m_hover = render(hoverImage, size);
    }
}

QPixmap SnapshotClientsImageButton::render(const QString& image, QSize size) const {
    const qreal ratio = devicePixelRatioF();
    QPixmap pixmap(size * ratio);
    pixmap.setDevicePixelRatio(ratio);
    pixmap.fill(Qt::transparent);
    QSvgRenderer renderer(image);
    QPainter painter(&pixmap);
    renderer.render(&painter, QRectF(QPointF(0, 0), QSizeF(size)));
    return pixmap;
}

void SnapshotClientsImageButton::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    const bool hover = m_under && !isDown();
    painter.drawPixmap(0, 0, hover && !m_hover.isNull() ? m_hover : m_normal);
    if (isDown() || (hover && m_hover.isNull())) {
        // Only where the image has paint, so the transparent corners stay transparent.
        QPixmap tint = m_normal;
        QPainter overlay(&tint);
        overlay.setCompositionMode(QPainter::CompositionMode_SourceAtop);
        overlay.fillRect(tint.rect(), isDown() ? QColor(0, 0, 0, 70) : QColor(255, 255, 255, 36));
        overlay.end();
        painter.drawPixmap(0, 0, tint);
    }
}

void SnapshotClientsImageButton::enterEvent(QEnterEvent* event) {
    m_under = true;
    update();
    QAbstractButton::enterEvent(event);
}

void SnapshotClientsImageButton::leaveEvent(QEvent* event) {
    m_under = false;
    update();
    QAbstractButton::leaveEvent(event);
}

} // namespace tavelcast
