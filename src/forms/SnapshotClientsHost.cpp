#include "forms/SnapshotClientsHost.h"

#include "forms/Form_MainMenu.h"

#include <QTimer>

#include <utility>

namespace tavelcast {

SnapshotClientsHost::SnapshotClientsHost(EnvironmentFactory factory, QObject* parent)
    : QObject(parent), m_factory(std::move(factory)) {}

SnapshotClientsHost::~SnapshotClientsHost() {
    delete m_window.data();
}

SnapshotClientsHost* SnapshotClientsHost::attachTo(TF_MainMenu& mainMenu) {
    auto* host = new SnapshotClientsHost(
        [&mainMenu] {
            SnapshotClientsEnvironment environment;
            environment.AppDir = mainMenu.AppDir;
            environment.registry = &mainMenu.registry();
            environment.dispatch = mainMenu.commandDispatch();
            environment.dialogs = &mainMenu.dialogs();
            return environment;
        },
        &mainMenu);
    QObject::connect(&mainMenu, &TF_MainMenu::manageClientsRequested, host,
                     &SnapshotClientsHost::show);
    return host;
}

void SnapshotClientsHost::show() {
    if (m_window.isNull() || m_window->closed()) {
        m_window = new TF_SnapshotClients(m_factory());
        emit windowCreated(m_window.data());
    }
    m_window->DoShow()->start();
}

} // namespace tavelcast
