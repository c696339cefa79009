#include "forms/Form_MainMenu.h"

#include "app/AtomicFile.h"
#include "app/IniSettings.h"
#include "app/StrToInt.h"
#include "capture/ScreenFrameService.h"
#include "capture/X11ScreenSource.h"
#include "forms/UiGuard.h"
#include "net/ProtocolWords.h"

#include <QAction>
#include <QCoreApplication>
#include <QIcon>
#include <QMenu>
#include <QSystemTrayIcon>
#include <QTimer>
#include <cerrno>
#include <cstring>
#include <sys/stat.h>
#include <system_error>

// Resources live in the static ui library; they must be registered by name.
static void initTavelcastResources() {
    Q_INIT_RESOURCE(tavelcast);
}

namespace tavelcast {

namespace {

void ensureFolder(const std::string& path) {
    struct stat info {};
    if (::stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode)) {
        return;
    }
    if (::mkdir(path.c_str(), 0755) != 0) {
        const int error = errno;
        // Another process may have made it meanwhile; a file of that name is a failure.
        if (error == EEXIST && ::stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode)) {
            return;
        }
        throw std::system_error(error == EEXIST ? ENOTDIR : error, std::generic_category(),
                                "Unable to create folder " + path);
    }
}

} // namespace

TF_MainMenu::TF_MainMenu(MainMenuEnvironment environment, QWidget* parent)
    : QWidget(parent), AppDir(environment.AppDir), m_env(std::move(environment)) {
    initTavelcastResources();
    setObjectName(QStringLiteral("MainMenu"));
    if (!m_env.resolver) {
        m_env.resolver = std::make_shared<GetnameinfoResolver>();
    }
    m_hostNames = std::make_unique<HostNames>(m_env.resolver);
    m_disallowedStore = std::make_unique<DisallowedStore>(AppDir);
    buildTray();
    runGuarded(*m_env.dialogs, [this] { FormCreate(); });
}

TF_MainMenu::~TF_MainMenu() {
    // The server goes first: its threads use the registry, the log and the handler.
    shutdownServer();
    if (m_trayIcon != nullptr) {
        m_trayIcon->hide();
    }
}

void TF_MainMenu::shutdownServer() {
    if (m_server) {
        m_server->shutdown();
    }
}

QAction* TF_MainMenu::addEntry(const char* objectName, const char* caption, const char* shortcut,
                               void (TF_MainMenu::*handler)()) {
    auto* action = new QAction(QString::fromLatin1(caption), m_popupMenu1);
    action->setObjectName(QString::fromLatin1(objectName));
    if (shortcut != nullptr) {
        action->setShortcut(QKeySequence(QString::fromLatin1(shortcut)));
        action->setShortcutVisibleInContextMenu(true);
    }
    connect(action, &QAction::triggered, this, [this, handler] {
        runGuarded(*m_env.dialogs, [this, handler] { (this->*handler)(); });
    });
    m_popupMenu1->addAction(action);
    return action;
}

void TF_MainMenu::buildTray() {
    m_popupMenu1 = new QMenu(this);
    m_popupMenu1->setObjectName(QStringLiteral("PopupMenu1"));

    addEntry("DonotAllow1", "Disallowed Applications", "Ctrl+D", &TF_MainMenu::DonotAllow1Click);
    m_disallowedEnabled1 = addEntry("DisallowedEnabled1", "Enable Disallow Rules", nullptr,
                                    &TF_MainMenu::DisallowedEnabled1Click);
    m_disallowedEnabled1->setCheckable(true);
    m_disallowedEnabled1->setChecked(true);
    m_state.setDisallowRulesEnabled(true);
    m_popupMenu1->addSeparator();
    m_lockALLKeyboard1 = addEntry("LockALLKeyboard1", "Lock ALL Keyboards", nullptr,
                                  &TF_MainMenu::LockALLKeyboard1Click);
    m_lockALLKeyboard1->setCheckable(true);
    addEntry("RestartALLClients1", "Restart ALL Clients", nullptr,
             &TF_MainMenu::RestartALLClients1Click);
    addEntry("ShutdownALLClients1", "Shutdown ALL Clients", nullptr,
             &TF_MainMenu::ShutdownALLClients1Click);
    m_popupMenu1->addSeparator();
    addEntry("GetSnapShot1", "Manage Clients/Class", "Ctrl+M", &TF_MainMenu::GetSnapShot1Click);
    m_startAll =
        addEntry("StartAll", "Send Screen to Clients", "Ctrl+B", &TF_MainMenu::StartAllClick);
    m_startAll->setCheckable(true);
    addEntry("StopAll", "Stop Sending Screens", "Ctrl+E", &TF_MainMenu::StopAllClick);
    m_popupMenu1->addSeparator();
    m_autostartwithwindows1 = addEntry("Autostartwithwindows1", "Autostart with windows", nullptr,
                                       &TF_MainMenu::Autostartwithwindows1Click);
    m_autostartwithwindows1->setCheckable(true);
    m_popupMenu1->addSeparator();
    addEntry("Exit1", "Exit", "Ctrl+X", &TF_MainMenu::Exit1Click);

    // The context menu opens on a right-click (and on the tray host's keyboard selection);
    // nothing is connected to activated(), so every other click does nothing. No tooltip.
    m_trayIcon = new QSystemTrayIcon(QIcon(QStringLiteral(":/icons/tavelcast.svg")), this);
    m_trayIcon->setObjectName(QStringLiteral("TrayIcon1"));
    m_trayIcon->setContextMenu(m_popupMenu1);
    if (m_env.showTrayIcon) {
        m_trayIcon->show();
    }
}

void TF_MainMenu::sendToAll(std::string_view word) {
    // Before start-up has bound the server there is nobody to send to.
    if (m_dispatch) {
        m_dispatch->SendToAllClients(word);
    }
}

void TF_MainMenu::DonotAllow1Click() {
    emit disallowedApplicationsRequested();
}

void TF_MainMenu::DisallowedEnabled1Click() {
    const bool enabled = m_disallowedEnabled1->isChecked();
    m_state.setDisallowRulesEnabled(enabled);
    sendToAll(enabled ? words::DisallowON : words::DisallowOFF);
}

void TF_MainMenu::LockALLKeyboard1Click() {
    sendToAll(m_lockALLKeyboard1->isChecked() ? words::KeyLockON : words::KeyLockOFF);
}

void TF_MainMenu::RestartALLClients1Click() {
    if (m_env.dialogs->askYesNo(
            "Are you sure you want to send a Restart Command to all clients ?")) {
        sendToAll(words::Restart);
    }
}

void TF_MainMenu::ShutdownALLClients1Click() {
    if (m_env.dialogs->askYesNo(
            "Are you sure you want to send a Shutdown Command to all clients ?")) {
        sendToAll(words::ShutDown);
    }
}

void TF_MainMenu::GetSnapShot1Click() {
    emit manageClientsRequested();
}

void TF_MainMenu::StartAllClick() {
    // Sends nothing: pupils get frames when they next poll. Choosing it again only removes
    // the mark; sending goes on until "Stop Sending Screens".
    m_state.setStreamMode(StreamModeValue::DoScreenStreaming);
}

void TF_MainMenu::StopAllClick() {
    m_state.setStreamMode(StreamModeValue::StopScreenStreaming);
    sendToAll(words::StopScreenStreaming);
    m_startAll->setChecked(false);
}

void TF_MainMenu::Autostartwithwindows1Click() {
    // The mark always shows whether the entry exists, whatever happened.
    m_autostartwithwindows1->setChecked(m_autostart ? m_autostart->toggle() : false);
}

void TF_MainMenu::Exit1Click() {
    QCoreApplication::quit();
}

void TF_MainMenu::FormCreate() {
    // Invisible without being hidden yet.
    setGeometry(-1000, 0, 0, 0);

    if (ReadIniSetting(optionsPath(), "SIP").empty()) {
        runFirstRunDialogue();
        return;
    }

    const std::string sip = ReadIniSetting(optionsPath(), "SIP");
    const std::string sport = ReadIniSetting(optionsPath(), "SPort");
    TcpServerOptions options;
    options.address = sip;
    options.port = StrToInt(sport);
    options.writeDeadline = m_env.writeDeadline;

    m_autostart = std::make_unique<Autostart>(
        m_env.autostartFolder.empty() ? Autostart::defaultFolder() : m_env.autostartFolder, AppDir);
    m_autostartwithwindows1->setChecked(m_autostart->exists());

    ensureFolder(AppDir + "Storage");
    // Writes cut short by a crash leave temporary files behind; they are never read.
    removeLeftoverTemporaryFiles(AppDir + "Storage");
    removeLeftoverTemporaryFiles(AppDir);
    m_state.setStreamMode(StreamModeValue::Empty);

    // Screen frames are made on demand, shared between pupils polling at the same time.
    // The first capture failure (no X display, the display gone) is logged once.
    auto screen = m_env.screen ? m_env.screen : std::make_shared<X11ScreenSource>();
    m_frames = std::make_shared<ScreenFrameService>(
        std::move(screen), [this](const std::string& line) { m_registry.appendLog(line); });
    m_handler = std::make_unique<ConnectionHandler>(ConnectionHandler::Deps{
        m_registry, *m_hostNames, m_state, storageDir(), m_disallowedStore.get(), m_frames.get()});
    m_server = std::make_unique<TcpServer>(*m_handler, options);
    m_dispatch = std::make_unique<CommandDispatch>(*m_server, *m_hostNames, *m_env.dialogs);

    m_startUpTimer = new QTimer(this);
    m_startUpTimer->setObjectName(QStringLiteral("StartUpTimer"));
    m_startUpTimer->setInterval(1);
    connect(m_startUpTimer, &QTimer::timeout, this,
            [this] { runGuarded(*m_env.dialogs, [this] { StartUpTimerTimer(); }); });
    m_startUpTimer->start();
}

void TF_MainMenu::runFirstRunDialogue() {
    std::string sip = ReadIniSetting(optionsPath(), "SIP");
    std::string sport = ReadIniSetting(optionsPath(), "SPort");
    // A failed write stops the dialogue here; the error box shows "Unable to write to" and
    // the program runs on with only its tray icon.
    if (m_env.dialogs->inputQuery("Please Give the Server IP", "Server IP", sip)) {
        WriteIniSetting(optionsPath(), "SIP", sip);
    }
    if (m_env.dialogs->inputQuery("Please give connection port", "Connection Port", sport)) {
        WriteIniSetting(optionsPath(), "SPort", sport);
    }
    m_env.dialogs->showMessage("Please Restart Application");
    m_terminateRequested = true;
}

void TF_MainMenu::StartUpTimerTimer() {
    m_startUpTimer->stop();
    hide();
    try {
        m_server->activate();
    } catch (const BindError&) {
        emit startUpFinished(false);
        m_env.dialogs->showError("Could not bind socket. Address and port are already in use.");
        return;
    }
    emit startUpFinished(true);
}

} // namespace tavelcast
