#pragma once

#include "app/Dialogs.h"
#include "net/ClientRegistry.h"
#include "net/ConnectionHandler.h"
#include "net/NameResolver.h"
#include "net/ServerState.h"
#include "net/TcpServer.h"

#include <QPointer>
#include <QWidget>
#include <chrono>
#include <memory>
#include <string>

class QMenu;
class QAction;
class QSystemTrayIcon;
class QTimer;

namespace tavelcast {

// What the hidden main window needs from its surroundings; tests replace the parts that
// touch the platform.
struct MainMenuEnvironment {
    std::string AppDir;  // ends in '/'
    Dialogs* dialogs = nullptr;
    std::shared_ptr<NameResolver> resolver;  // default: the system's resolver
    std::chrono::milliseconds writeDeadline{5000};
    bool showTrayIcon = true;
};

// The hidden main window: it owns the TCP server, the tray icon with its menu, the client
// registry and the connection log. The program lives as long as this window.
class TF_MainMenu : public QWidget {
    Q_OBJECT

public:
    explicit TF_MainMenu(MainMenuEnvironment environment, QWidget* parent = nullptr);
    ~TF_MainMenu() override;

    // True when start-up decided that the program ends now (the first-run dialogue).
    bool terminateRequested() const { return m_terminateRequested; }

    // Stops the server in order: stop listening, close every connection, join every
    // connection thread. Safe to call more than once.
    void shutdownServer();

    const std::string AppDir;
    ClientRegistry& registry() { return m_registry; }
    ServerState& state() { return m_state; }
    HostNames& hostNames() { return *m_hostNames; }
    TcpServer* server() { return m_server.get(); }
    Dialogs& dialogs() { return *m_env.dialogs; }
    QMenu* PopupMenu1() const { return m_popupMenu1; }
    QSystemTrayIcon* trayIcon() const { return m_trayIcon; }
    QTimer* StartUpTimer() const { return m_startUpTimer; }
    std::string optionsPath() const { return AppDir + "Options.ini"; }
    std::string storageDir() const { return AppDir + "Storage/"; }

signals:
    // Emitted once the listener runs (or failed to start).
    void startUpFinished(bool listening);

private:
    void FormCreate();
    void runFirstRunDialogue();
    void StartUpTimerTimer();
    void buildTray();
    void Exit1Click();

    MainMenuEnvironment m_env;
    bool m_terminateRequested = false;

    ClientRegistry m_registry;
    ServerState m_state;
    std::unique_ptr<HostNames> m_hostNames;
    std::unique_ptr<ConnectionHandler> m_handler;
    std::unique_ptr<TcpServer> m_server;

    QMenu* m_popupMenu1 = nullptr;
    QSystemTrayIcon* m_trayIcon = nullptr;
    QTimer* m_startUpTimer = nullptr;
};

} // namespace tavelcast
