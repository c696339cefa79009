#pragma once

#include <QAbstractButton>
#include <QPixmap>
#include <QString>

namespace tavelcast {

// A picture that acts as a button (the wall's close button and its action buttons): it
// shows its image at its own size, a second image (or a lighter copy) under the pointer,
// and a darker copy while pressed. Hand cursor.
class SnapshotClientsImageButton : public QAbstractButton {
    Q_OBJECT

public:
    // Images are resource paths of SVG files; hoverImage may be empty.
    SnapshotClientsImageButton(const QString& image, const QString& hoverImage, QSize size,
                               QWidget* parent);

    QSize sizeHint() const override { return m_normal.deviceIndependentSize().toSize(); }

protected:
    void paintEvent(QPaintEvent* event) override;
    void enterEvent(QEnterEvent* event) override;
    void leaveEvent(QEvent* event) override;

private:
    QPixmap render(const QString& image, QSize size) const;

    QPixmap m_normal;
    QPixmap m_hover;
    bool m_under = false;
};

} // namespace tavelcast
