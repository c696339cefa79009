#include "TestCard.h"

#include <QColor>
#include <QFont>
#include <QFontMetrics>
#include <QImage>
#include <QPainter>
#include <QPainterPath>
#include <QString>

#include <turbojpeg.h>

#include <cmath>
#include <memory>
#include <stdexcept>

namespace tavelcast::sim {

namespace {

// Hues spaced by the golden angle, with saturation and value stepping through a few
// levels, so neighbouring pupils never look alike.
QColor pupilColour(int index) {
    const double hue = std::fmod(static_cast<double>(index) * 0.6180339887498949, 1.0);
    const double saturation = 0.45 + 0.15 * static_cast<double>(index % 3);
    const double value = 0.55 + 0.12 * static_cast<double>((index / 3) % 3);
    return QColor::fromHsvF(static_cast<float>(hue), static_cast<float>(saturation),
                            static_cast<float>(value));
}

struct TjDeleter {
    void operator()(void* handle) const { tjDestroy(handle); }
};

} // namespace

std::vector<std::uint8_t> renderTestCard(const std::string& pupilName, int pupilIndex, int width,
                                         int height) {
    QImage image(width, height, QImage::Format_RGB888);
    const QColor background = pupilColour(pupilIndex);
    image.fill(background);
    {
        QPainter painter(&image);
        painter.setRenderHint(QPainter::Antialiasing);
        painter.setRenderHint(QPainter::TextAntialiasing);

        // A frame and a diagonal grid make scaling and cropping errors visible.
        painter.setPen(QPen(background.darker(160), std::max(2, width / 160)));
        const int step = std::max(16, width / 8);
        for (int x = 0; x < width; x += step) {
            painter.drawLine(x, 0, x, height);
        }
        for (int y = 0; y < height; y += step) {
            painter.drawLine(0, y, width, y);
        }
        painter.setPen(QPen(Qt::white, std::max(4, width / 80)));
        painter.drawRect(image.rect().adjusted(2, 2, -3, -3));

        // The name as large as fits in 85% of the width and 45% of the height.
        const QString name = QString::fromStdString(pupilName);
        QFont font(QStringLiteral("DejaVu Sans"));
        font.setBold(true);
        font.setPixelSize(std::max(8, height * 45 / 100));
        {
            const QFontMetrics metrics(font);
            const int textWidth = std::max(1, metrics.horizontalAdvance(name));
            const int maxWidth = width * 85 / 100;
            if (textWidth > maxWidth) {
                font.setPixelSize(std::max(8, font.pixelSize() * maxWidth / textWidth));
            }
        }
        const QFontMetrics metrics(font);
        const int textWidth = metrics.horizontalAdvance(name);
        const QPointF origin((width - textWidth) / 2.0,
                             (height + metrics.ascent() - metrics.descent()) / 2.0);
        QPainterPath path;
        path.addText(origin, font, name);
        painter.setPen(QPen(Qt::black, std::max(2.0, font.pixelSize() / 14.0), Qt::SolidLine,
                            Qt::RoundCap, Qt::RoundJoin));
        painter.setBrush(Qt::white);
        painter.drawPath(path);

        QFont small(QStringLiteral("DejaVu Sans"));
        small.setPixelSize(std::max(8, height / 20));
        painter.setFont(small);
        painter.setPen(Qt::white);
        painter.drawText(QRect(0, height * 80 / 100, width, height / 10), Qt::AlignCenter,
                         QStringLiteral("simulated pupil %1").arg(pupilIndex + 1));
    }

    std::unique_ptr<void, TjDeleter> compressor(tjInitCompress());
    if (!compressor) {
        throw std::runtime_error("tjInitCompress failed");
    }
    unsigned char* jpeg = nullptr;
    unsigned long jpegSize = 0;
    const int rc = tjCompress2(compressor.get(), image.constBits(), width,
                               static_cast<int>(image.bytesPerLine()), height, TJPF_RGB, &jpeg,
                               &jpegSize, TJSAMP_420, 90, 0);
    if (rc != 0) {
        if (jpeg != nullptr) {
            tjFree(jpeg);
        }
        throw std::runtime_error(std::string("tjCompress2 failed: ") +
                                 tjGetErrorStr2(compressor.get()));
    }
    std::vector<std::uint8_t> bytes(jpeg, jpeg + jpegSize);
    tjFree(jpeg);
    return bytes;
}

} // namespace tavelcast::sim
