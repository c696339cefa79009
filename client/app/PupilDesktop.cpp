#include "app/PupilDesktop.h"

#include "core/ScreenSnapshot.h"
#include "core/SeatsLog.h"

#include <QGuiApplication>
#include <QProcess>
#include <QScreen>
#include <QStandardPaths>

namespace tavelcast {

namespace {

QSize screenPixels() {
    if (const QScreen* screen = QGuiApplication::primaryScreen()) {
        return screen->geometry().size() * screen->devicePixelRatio();
    }
    return {1024, 768};
}

} // namespace

PupilDesktop::PupilDesktop(bool dryRun)
    : m_dryRun(dryRun), m_screenSize(screenPixels()), m_decoder(m_screenSize) {
    m_grabRetry.setInterval(250);
    connect(&m_grabRetry, &QTimer::timeout, this, &PupilDesktop::tryGrab);
    m_enforceTimer.setInterval(1000);
    connect(&m_enforceTimer, &QTimer::timeout, this, [this] { m_enforcer.tick(); });
    m_enforceTimer.start();
}

PupilDesktop::~PupilDesktop() {
    m_grab.release();
}

std::vector<std::uint8_t> PupilDesktop::snapshot(int maxWidth) {
    return makeScreenSnapshot(m_screen, maxWidth);
}

void PupilDesktop::showFrame(std::vector<std::uint8_t> jpeg) {
    std::optional<QImage> decoded = m_decoder.decode(jpeg);
    if (!decoded) {
        if (m_badFrames++ == 0) {
            seatsLog("a frame from the teacher is not a picture; not shown");
        }
        return;
    }
    QImage frame = std::move(*decoded);
    if (frame.size() != m_screenSize) {
        frame = frame.scaled(m_screenSize, Qt::KeepAspectRatio, Qt::SmoothTransformation);
    }
    // Only the newest frame waits for the UI thread; a slow screen skips frames.
    std::lock_guard lock(m_frameMutex);
    m_latestFrame = std::move(frame);
    if (!m_framePending) {
        m_framePending = true;
        QMetaObject::invokeMethod(this, &PupilDesktop::presentLatestFrame, Qt::QueuedConnection);
    }
}

void PupilDesktop::presentLatestFrame() {
    QImage frame;
    {
        std::lock_guard lock(m_frameMutex);
        frame = std::move(m_latestFrame);
        m_latestFrame = QImage();
        m_framePending = false;
    }
    if (!frame.isNull()) {
        m_frameWindow.present(std::move(frame));
        if (m_locked) {
            m_banner.raise();
        }
    }
}

void PupilDesktop::stopFrames() {
    QMetaObject::invokeMethod(
        this,
        [this] {
            {
                std::lock_guard lock(m_frameMutex);
                m_latestFrame = QImage();
            }
            m_frameWindow.dismiss();
        },
        Qt::QueuedConnection);
}

void PupilDesktop::keyboardLock(bool locked) {
    QMetaObject::invokeMethod(
        this, [this, locked] { setLocked(locked); }, Qt::QueuedConnection);
}

void PupilDesktop::setLocked(bool locked) {
    m_locked = locked;
    if (locked) {
        m_banner.showOnTop();
        tryGrab();
    } else {
        m_grabRetry.stop();
        m_grab.release();
        m_grabEvents.reset();
        m_banner.hide();
    }
}

void PupilDesktop::tryGrab() {
    if (!m_locked) {
        m_grabRetry.stop();
        return;
    }
    if (m_grab.grab()) {
        m_grabRetry.stop();
        if (!m_grabEvents && m_grab.connectionFd() >= 0) {
            m_grabEvents =
                std::make_unique<QSocketNotifier>(m_grab.connectionFd(), QSocketNotifier::Read);
            connect(m_grabEvents.get(), &QSocketNotifier::activated, this,
                    [this] { m_grab.drainEvents(); });
        }
        seatsLog("keyboard grabbed");
        return;
    }
    if (!m_grabRetry.isActive()) {
        seatsLog("the keyboard cannot be grabbed now (another program holds it); retrying");
        m_grabRetry.start();
    }
}

void PupilDesktop::restart(const std::string& command) {
    QMetaObject::invokeMethod(
        this, [this, command] { runCommand("restart", command); }, Qt::QueuedConnection);
}

void PupilDesktop::shutDown(const std::string& command) {
    QMetaObject::invokeMethod(
        this, [this, command] { runCommand("shutdown", command); }, Qt::QueuedConnection);
}

void PupilDesktop::runCommand(const std::string& what, const std::string& command) {
    if (m_dryRun) {
        seatsLog("dry run: would " + what + " with: " + command);
        return;
    }
    seatsLog(what + ": running " + command);
    if (!QProcess::startDetached("/bin/sh", {"-c", QString::fromStdString(command)})) {
        seatsLog(what + ": cannot run " + command);
    }
}

void PupilDesktop::disallowEnabled(bool enabled) {
    m_enforcer.setEnabled(enabled);
}

void PupilDesktop::disallowedList(const std::vector<std::string>& names) {
    m_enforcer.setNames(names);
}

void PupilDesktop::connected(const std::string&) {}

void PupilDesktop::disconnected() {
    QMetaObject::invokeMethod(
        this,
        [this] {
            {
                std::lock_guard lock(m_frameMutex);
                m_latestFrame = QImage();
            }
            m_frameWindow.dismiss();
            if (m_locked) {
                seatsLog("connection lost: keyboard unlocked");
                setLocked(false);
            }
        },
        Qt::QueuedConnection);
}

void PupilDesktop::settingsProblem(const std::string& message) {
    if (message.empty()) {
        return;
    }
    QMetaObject::invokeMethod(
        this, [this, text = QString::fromStdString(message)] { notifyDesktop(text); },
        Qt::QueuedConnection);
}

void PupilDesktop::notifyDesktop(const QString& message) {
    const QString notifySend = QStandardPaths::findExecutable("notify-send");
    if (notifySend.isEmpty()) {
        return;
    }
    QProcess::startDetached(notifySend, {"--app-name=Tavelseats", "--urgency=critical",
                                         "Tavelseats cannot start", message});
}

} // namespace tavelcast
