#include "forms/ClientTile.h"

#include <QMouseEvent>
#include <QPainter>

#include <utility>

namespace tavelcast {

ClientTile::ClientTile(std::string hostName, QWidget* parent)
    : QWidget(parent), m_hostName(std::move(hostName)) {
    setObjectName(QStringLiteral("Img") + QString::fromStdString(m_hostName));
    setFixedSize(kWidth, kHeight);
    setCursor(Qt::PointingHandCursor);
    setContextMenuPolicy(Qt::CustomContextMenu);
    // The picture covers the tile whenever there is one; blank tiles draw nothing.
    setAttribute(Qt::WA_OpaquePaintEvent, false);
}

void ClientTile::setHint(int aa) {
    const QString text = QString::number(aa);
    if (toolTip() != text) {
        setToolTip(text);
    }
}

void ClientTile::setPicture(QImage picture, QByteArray jpegBytes) {
    m_picture = std::move(picture);
    m_jpegBytes = std::move(jpegBytes);
    update();
}

void ClientTile::paintEvent(QPaintEvent*) {
    if (m_picture.isNull()) {
        return;
    }
    QPainter painter(this);
    if (m_picture.size() == size()) {
        painter.drawImage(0, 0, m_picture);
    } else {
        painter.setRenderHint(QPainter::SmoothPixmapTransform);
        painter.drawImage(rect(), m_picture);
    }
}

void ClientTile::mouseDoubleClickEvent(QMouseEvent* event) {
    if (event->button() == Qt::LeftButton) {
        emit doubleClicked(this);
    }
    QWidget::mouseDoubleClickEvent(event);
}

void ClientTile::enterEvent(QEnterEvent* event) {
    emit entered(this);
    QWidget::enterEvent(event);
}

void ClientTile::leaveEvent(QEvent* event) {
    emit left(this);
    QWidget::leaveEvent(event);
}

} // namespace tavelcast
