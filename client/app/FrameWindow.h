#pragma once

#include <QElapsedTimer>
#include <QImage>
#include <QWidget>

namespace tavelcast {

// The teacher's screen on the pupil's: a borderless window over the whole screen, above
// every other window, black where the picture (aspect kept, centred) does not reach.
class FrameWindow : public QWidget {
    Q_OBJECT
public:
    FrameWindow();

    // Shows the picture (already scaled to fit the screen) and the window if hidden.
    void present(QImage frame);
    // Hides the window and lets the last picture go; logs the frame rate of the showing.
    void dismiss();

    // Frames shown since start (for the log and measurements).
    quint64 framesShown() const { return m_shown; }

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    QImage m_frame;
    quint64 m_shown = 0;
    quint64 m_shownAtStart = 0;
    QElapsedTimer m_since;
};

} // namespace tavelcast
