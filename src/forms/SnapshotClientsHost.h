#pragma once

#include "forms/Form_SnapshotClients.h"

#include <QObject>
#include <QPointer>

#include <functional>

namespace tavelcast {

class TF_MainMenu;

// Brings the class wall up for "Manage Clients/Class". The window is built on first use;
// closing it destroys it, and the next show() builds it anew (with an empty selection).
// show() starts the fade-in: on an open window one tick raises the opacity from 250 to 255
// and restarts the refresh if it had stopped; a further show() wraps the opacity round and
// fades the window in once more.
class SnapshotClientsHost : public QObject {
    Q_OBJECT

public:
    // Called each time a window is built: the environment the new window uses.
    using EnvironmentFactory = std::function<SnapshotClientsEnvironment()>;

    explicit SnapshotClientsHost(EnvironmentFactory factory, QObject* parent = nullptr);
    ~SnapshotClientsHost() override;

    // Creates a host owned by mainMenu and connects it to the menu's "Manage Clients/Class".
    static SnapshotClientsHost* attachTo(TF_MainMenu& mainMenu);

    // The open window, or null.
    TF_SnapshotClients* window() const { return m_window.data(); }

public slots:
    void show();

signals:
    void windowCreated(tavelcast::TF_SnapshotClients* window);

private:
    EnvironmentFactory m_factory;
    QPointer<TF_SnapshotClients> m_window;
};

} // namespace tavelcast
