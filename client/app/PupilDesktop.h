#pragma once

#include "app/FrameWindow.h"
#include "app/LockBanner.h"
#include "capture/ThumbnailDecoder.h"
#include "capture/X11ScreenSource.h"
#include "core/DisallowEnforcer.h"
#include "core/PupilActions.h"
#include "x11/KeyboardGrab.h"

#include <QImage>
#include <QObject>
#include <QSize>
#include <QSocketNotifier>
#include <QTimer>

#include <memory>
#include <mutex>

namespace tavelcast {

// The pupil's desktop as the teacher's words change it. PupilClient calls the actions on
// its network thread; snapshots and frame decoding happen there, everything visible is
// handed to the UI thread (queued), where this object lives.
class PupilDesktop : public QObject, public PupilActions {
    Q_OBJECT
public:
    explicit PupilDesktop(bool dryRun);
    ~PupilDesktop() override;

    std::vector<std::uint8_t> snapshot(int maxWidth) override;
    void showFrame(std::vector<std::uint8_t> jpeg) override;
    void stopFrames() override;
    void keyboardLock(bool locked) override;
    void restart(const std::string& command) override;
    void shutDown(const std::string& command) override;
    void disallowEnabled(bool enabled) override;
    void disallowedList(const std::vector<std::string>& names) override;
    void connected(const std::string& peer) override;
    void disconnected() override;
    void settingsProblem(const std::string& message) override;

private:
    void presentLatestFrame();
    void setLocked(bool locked);
    void tryGrab();
    void runCommand(const std::string& what, const std::string& command);
    void notifyDesktop(const QString& message);

    const bool m_dryRun;
    const QSize m_screenSize; // in device pixels
    X11ScreenSource m_screen;
    ThumbnailDecoder m_decoder;

    std::mutex m_frameMutex;
    QImage m_latestFrame;
    bool m_framePending = false;
    quint64 m_badFrames = 0;

    FrameWindow m_frameWindow;
    LockBanner m_banner;
    KeyboardGrab m_grab;
    std::unique_ptr<QSocketNotifier> m_grabEvents;
    QTimer m_grabRetry;
    bool m_locked = false;

    DisallowEnforcer m_enforcer;
    QTimer m_enforceTimer;
};

} // namespace tavelcast
