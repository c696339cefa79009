#pragma once

#include <QPoint>
#include <QWidget>

namespace tavelcast {

// The wall's header panel. Pressing the left mouse button on it drags the whole window:
// through the window manager when there is one, otherwise by following the pointer.
class SnapshotClientsHeader : public QWidget {
    Q_OBJECT

public:
    explicit SnapshotClientsHeader(QWidget* parent);

protected:
    void mousePressEvent(QMouseEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;

private:
    bool m_dragging = false;
    QPoint m_grabOffset; // pointer position minus the window's top-left, at the press
};

} // namespace tavelcast
