#include "forms/Form_MainMenu.h"

#include "app/IniSettings.h"
#include "app/StrToInt.h"
#include "forms/UiGuard.h"

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
static void initTavelcastResources() { Q_INIT_RESOURCE(tavelcast); }

namespace tavelcast {

namespace {

void ensureFolder(const std::string& path) {
    struct stat info {};
    if (::stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode)) {
        return;
    }
    if (::mkdir(path.c_str(), 0755) != 0 && errno != EEXIST) {
        throw std::system_error(errno, std::generic_category(),
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

void TF_MainMenu::buildTray() {
    m_popupMenu1 = new QMenu(this);
    m_popupMenu1->setObjectName(QStringLiteral("PopupMenu1"));

    auto* exit1 = new QAction(QStringLiteral("Exit"), m_popupMenu1);
    exit1->setObjectName(QStringLiteral("Exit1"));
    exit1->setShortcut(QKeySequence(QStringLiteral("Ctrl+X")));
    exit1->setShortcutVisibleInContextMenu(true);
    connect(exit1, &QAction::triggered, this, [this] { Exit1Click(); });
    m_popupMenu1->addAction(exit1);

    m_trayIcon = new QSystemTrayIcon(QIcon(QStringLiteral(":/icons/tavelcast.svg")), this);
    m_trayIcon->setObjectName(QStringLiteral("TrayIcon1"));
    m_trayIcon->setContextMenu(m_popupMenu1);
    if (m_env.showTrayIcon) {
        m_trayIcon->show();
    }
}

void TF_MainMenu::Exit1Click() { QCoreApplication::quit(); }

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

    ensureFolder(AppDir + "Storage");
    m_state.setStreamMode(StreamModeValue::Empty);

    m_handler = std::make_unique<ConnectionHandler>(ConnectionHandler::Deps{
        m_registry, *m_hostNames, m_state, storageDir(), nullptr, nullptr});
    m_server = std::make_unique<TcpServer>(*m_handler, options);

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
