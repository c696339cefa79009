// Tavelcast: the teacher's classroom server, living in the notification area.

#include "app/AppTitle.h"
#include "forms/Form_DisallowedApplications.h"
#include "forms/Form_MainMenu.h"
#include "forms/QtDialogs.h"
#include "forms/SnapshotClientsHost.h"
#include "forms/UiGuard.h"

#include <QApplication>
#include <QSocketNotifier>
#include <csignal>
#include <memory>
#include <sys/socket.h>
#include <unistd.h>

namespace {

int signalPipe[2] = {-1, -1};

void onTerminationSignal(int) {
    const char byte = 1;
    [[maybe_unused]] const auto n = ::write(signalPipe[1], &byte, 1);
}

// SIGTERM and SIGINT end the program exactly as "Exit" does: the event loop ends and the
// main window shuts the server down in order.
void installTerminationHandlers(QObject* parent) {
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, signalPipe) != 0) {
        return;
    }
    auto* notifier = new QSocketNotifier(signalPipe[0], QSocketNotifier::Read, parent);
    QObject::connect(notifier, &QSocketNotifier::activated, parent, [] {
        char byte = 0;
        [[maybe_unused]] const auto n = ::read(signalPipe[0], &byte, 1);
        QCoreApplication::quit();
    });
    struct sigaction action {};
    action.sa_handler = onTerminationSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    ::sigaction(SIGTERM, &action, nullptr);
    ::sigaction(SIGINT, &action, nullptr);
}

} // namespace

int main(int argc, char* argv[]) {
    // A pupil that vanishes mid-write must not kill the teacher's program.
    ::signal(SIGPIPE, SIG_IGN);

    QApplication application(argc, argv);
    QApplication::setQuitOnLastWindowClosed(false);

    const std::string executable = QCoreApplication::applicationFilePath().toStdString();
    const std::string title = tavelcast::applicationTitle(executable);
    QApplication::setApplicationName(QString::fromStdString(title));
    tavelcast::QtDialogs dialogs(title);

    tavelcast::MainMenuEnvironment environment;
    environment.AppDir = tavelcast::applicationDir(executable);
    environment.dialogs = &dialogs;

    auto mainMenu = std::make_unique<tavelcast::TF_MainMenu>(environment);
    if (mainMenu->terminateRequested()) {
        return 0;
    }
    // The class window is built when the teacher first opens it, and anew after a close.
    tavelcast::SnapshotClientsHost::attachTo(*mainMenu);
    QObject::connect(mainMenu.get(), &tavelcast::TF_MainMenu::disallowedApplicationsRequested,
                     mainMenu.get(), [menu = mainMenu.get(), &dialogs] {
                         tavelcast::runGuarded(dialogs, [&] {
                             tavelcast::DonotAllow1Click(nullptr, dialogs, menu->disallowedStore(),
                                                         menu->commandDispatch());
                         });
                     });
    installTerminationHandlers(mainMenu.get());

    const int result = QApplication::exec();
    // The main window's destruction shuts the server down before anything it uses goes.
    mainMenu.reset();
    return result;
}
