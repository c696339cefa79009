// Tavelseats: the pupil's side of the classroom. Connects this PC to the teacher's
// Tavelcast and carries out what the teacher asks: snapshots, the teacher's screen,
// keyboard lock, restart and shutdown, disallowed applications.
#include "app/AppTitle.h"
#include "app/Autostart.h"
#include "app/PupilDesktop.h"
#include "core/AutostartEntry.h"
#include "core/ClientSettings.h"
#include "core/PupilClient.h"
#include "core/SeatsLog.h"

#include <QApplication>
#include <QSocketNotifier>

#include <csignal>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>
#include <sys/socket.h>
#include <unistd.h>

namespace {

int g_signalPipe[2] = {-1, -1};

void onSignal(int) {
    const char byte = 1;
    [[maybe_unused]] const auto written = ::write(g_signalPipe[1], &byte, 1);
}

std::string executablePath() {
    std::error_code error;
    const auto path = std::filesystem::read_symlink("/proc/self/exe", error);
    return error ? std::string() : path.string();
}

void usage() {
    std::puts("Usage: Tavelseats [--dry-run] [--install-autostart]\n"
              "\n"
              "Connects this PC to the teacher's Tavelcast, as set in Tavelseats.ini beside\n"
              "the program ([IniSettings] SIP=, SPort=, optional SnapshotWidth=,\n"
              "RestartCommand=, ShutDownCommand=), and reconnects for ever.\n"
              "\n"
              "  --dry-run            log the restart and shutdown commands, do not run them\n"
              "  --install-autostart  start Tavelseats at every log-on of this user (XDG\n"
              "                       autostart entry) and exit");
}

} // namespace

int main(int argc, char** argv) {
    using namespace tavelcast;
    bool dryRun = false;
    bool installAutostart = false;
    for (int i = 1; i < argc; ++i) {
        const std::string argument = argv[i];
        if (argument == "--dry-run") {
            dryRun = true;
        } else if (argument == "--install-autostart") {
            installAutostart = true;
        } else if (argument == "--help" || argument == "-h") {
            usage();
            return 0;
        } else {
            std::fprintf(stderr, "Tavelseats: unknown option %s\n", argument.c_str());
            usage();
            return 2;
        }
    }
    const std::string exe = executablePath();
    if (installAutostart) {
        const std::string folder = Autostart::defaultFolder();
        if (folder.empty() || exe.empty()) {
            std::fprintf(stderr, "Tavelseats: no autostart folder (HOME is not set)\n");
            return 1;
        }
        try {
            const std::string path = AutostartEntry::install(folder, exe);
            std::printf("Tavelseats will start at log-on: %s\n", path.c_str());
            return 0;
        } catch (const std::exception& error) {
            std::fprintf(stderr, "Tavelseats: cannot write the autostart entry: %s\n",
                         error.what());
            return 1;
        }
    }

    QApplication app(argc, argv);
    app.setApplicationName("Tavelseats");
    app.setQuitOnLastWindowClosed(false);

    // SIGTERM and SIGINT (log-off, Ctrl+C) end the program in an orderly way: the keyboard
    // is given back and the connection closed.
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, g_signalPipe) != 0) {
        std::perror("Tavelseats: socketpair");
        return 1;
    }
    QSocketNotifier signalNotifier(g_signalPipe[0], QSocketNotifier::Read);
    QObject::connect(&signalNotifier, &QSocketNotifier::activated, &app, [&] {
        char byte = 0;
        [[maybe_unused]] const auto read = ::read(g_signalPipe[0], &byte, 1);
        seatsLog("ending on a signal");
        app.quit();
    });
    struct sigaction action {};
    action.sa_handler = onSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    ::sigaction(SIGTERM, &action, nullptr);
    ::sigaction(SIGINT, &action, nullptr);
    ::sigaction(SIGHUP, &action, nullptr);

    PupilClient::Options options;
    options.iniPath =
        applicationDir(exe.empty() ? std::string(argv[0]) : exe) + ClientSettingsFileName;
    seatsLog(std::string("starting") + (dryRun ? " (dry run)" : "") +
             "; settings: " + options.iniPath);

    int status = 0;
    {
        PupilDesktop desktop(dryRun);
        PupilClient client(desktop, options);
        client.start();
        status = app.exec();
        client.stop();
    }
    seatsLog("ended");
    ::close(g_signalPipe[0]);
    ::close(g_signalPipe[1]);
    return status;
}
