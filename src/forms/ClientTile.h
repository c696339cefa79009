#pragma once

#include <QByteArray>
#include <QImage>
#include <QWidget>

#include <string>

namespace tavelcast {

// One pupil's thumbnail on the class wall: 192 x 144, the picture stretched to fill it, a
// hand cursor. It keeps the exact JPEG bytes the picture was decoded from, so a saved
// snapshot is the pupil's own file and not a re-encoding. A tile without a picture is
// transparent: the wall's colour shows through.
class ClientTile : public QWidget {
    Q_OBJECT

public:
    static constexpr int kWidth = 192;
    static constexpr int kHeight = 144;

    ClientTile(std::string hostName, QWidget* parent);

    const std::string& hostName() const { return m_hostName; }

    // The registry row's AA, kept as the tile's hint (tooltip) in decimal.
    void setHint(int aa);
    QString hint() const { return toolTip(); }

    void setPicture(QImage picture, QByteArray jpegBytes);
    bool hasPicture() const { return !m_picture.isNull(); }
    const QImage& picture() const { return m_picture; }
    const QByteArray& jpegBytes() const { return m_jpegBytes; }

signals:
    void doubleClicked(ClientTile* tile);
    void entered(ClientTile* tile);
    void left(ClientTile* tile);

protected:
    void paintEvent(QPaintEvent* event) override;
    void mouseDoubleClickEvent(QMouseEvent* event) override;
    void enterEvent(QEnterEvent* event) override;
    void leaveEvent(QEvent* event) override;

private:
    std::string m_hostName;
    QImage m_picture;
    QByteArray m_jpegBytes;
};

} // namespace tavelcast
