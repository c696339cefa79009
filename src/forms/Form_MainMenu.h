#pragma once

#include "app/Autostart.h"
#include "app/Dialogs.h"
#include "capture/ScreenSource.h"
#include "disallow/DisallowedStore.h"
#include "net/ClientRegistry.h"
#include "net/CommandDispatch.h"
#include "net/ConnectionHandler.h"
#include "net/NameResolver.h"
#include "net/ServerState.h"
#include "net/TcpServer.h"

#include <QPointer>
#include <QWidget>
#include <chrono>
#include <memory>
#include <string>
#include <string_view>

class QMenu;
class QAction;
class QSystemTrayIcon;
class QTimer;

namespace tavelcast {

// What the hidden main window needs from its surroundings; tests replace the parts that
// touch the platform.
struct MainMenuEnvironment {
    std::string AppDir; // ends in '/'
    Dialogs* dialogs = nullptr;
    std::shared_ptr<NameResolver> resolver; // default: the system's resolver
    std::chrono::milliseconds writeDeadline{5000};
    bool showTrayIcon = true;
    // The autostart folder; empty means ${XDG_CONFIG_HOME:-~/.config}/autostart/.
    std::string autostartFolder;
    // The teacher's screen for screen sending; default: the X11 display in $DISPLAY.
    std::shared_ptr<ScreenSource> screen;
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
    // Null until start-up has bound the server.
    CommandDispatch* commandDispatch() { return m_dispatch.get(); }
    // Null until start-up has fixed the autostart entry's path.
    const Autostart* autostart() const { return m_autostart.get(); }
    DisallowedStore& disallowedStore() { return *m_disallowedStore; }
    std::string optionsPath() const { return AppDir + "Options.ini"; }
    std::string storageDir() const { return AppDir + "Storage/"; }

signals:
    // Emitted once the listener runs (or failed to start).
    void startUpFinished(bool listening);

    // "Disallowed Applications" and "Manage Clients/Class": the windows behind them connect
    // here.
    void disallowedApplicationsRequested();
    void manageClientsRequested();

private:
    void FormCreate();
    void runFirstRunDialogue();
    void StartUpTimerTimer();
    void buildTray();
    QAction* addEntry(const char* objectName, const char* caption, const char* shortcut,
                      void (TF_MainMenu::*handler)());
    void sendToAll(std::string_view word);

    // The menu's handlers. A checkable entry's mark has already been inverted when its
    // handler runs.
    void DonotAllow1Click();
    void DisallowedEnabled1Click();
    void LockALLKeyboard1Click();
    void RestartALLClients1Click();
    void ShutdownALLClients1Click();
    void GetSnapShot1Click();
    void StartAllClick();
    void StopAllClick();
    void Autostartwithwindows1Click();
    void Exit1Click();

    MainMenuEnvironment m_env;
    bool m_terminateRequested = false;

    ClientRegistry m_registry;
    ServerState m_state;
    std::unique_ptr<HostNames> m_hostNames;
    std::unique_ptr<DisallowedStore> m_disallowedStore;
    std::shared_ptr<ScreenFrameSource> m_frames;
    std::unique_ptr<ConnectionHandler> m_handler;
    std::unique_ptr<TcpServer> m_server;
    std::unique_ptr<CommandDispatch> m_dispatch;
    std::unique_ptr<Autostart> m_autostart;

    QMenu* m_popupMenu1 = nullptr;
    QSystemTrayIcon* m_trayIcon = nullptr;
    QTimer* m_startUpTimer = nullptr;
    QAction* m_disallowedEnabled1 = nullptr;
    QAction* m_lockALLKeyboard1 = nullptr;
    QAction* m_startAll = nullptr;
    QAction* m_autostartwithwindows1 = nullptr;
};

} // namespace tavelcast
