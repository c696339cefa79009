#include "forms/SnapshotClientsHeader.h"

#include <QMouseEvent>
#include <QWindow>

namespace tavelcast {

SnapshotClientsHeader::SnapshotClientsHeader(QWidget* parent) : QWidget(parent) {}

void SnapshotClientsHeader::mousePressEvent(QMouseEvent* event) {
    if (event->button() != Qt::LeftButton) {
        QWidget::mousePressEvent(event);
        return;
    }
    QWidget* top = window();
    if (QWindow* handle = top->windowHandle(); handle != nullptr && handle->startSystemMove()) {
        event->accept();
        return;
    }
    m_dragging = true;
    m_grabOffset = event->globalPosition().toPoint() - top->frameGeometry().topLeft();
    event->accept();
}

void SnapshotClientsHeader::mouseMoveEvent(QMouseEvent* event) {
    if (m_dragging && (event->buttons() & Qt::LeftButton)) {
        window()->move(event->globalPosition().toPoint() - m_grabOffset);
        event->accept();
        return;
    }
    QWidget::mouseMoveEvent(event);
}

void SnapshotClientsHeader::mouseReleaseEvent(QMouseEvent* event) {
    if (event->button() == Qt::LeftButton) {
        m_dragging = false;
    }
    QWidget::mouseReleaseEvent(event);
}

} // namespace tavelcast
