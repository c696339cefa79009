// The widget tests need one QApplication for the whole run; gtest_main cannot make one.

#include <QApplication>
#include <QtGlobal>
#include <csignal>
#include <gtest/gtest.h>

int main(int argc, char* argv[]) {
    // Widget tests never need a real display; ctest sets this too.
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) {
        qputenv("QT_QPA_PLATFORM", "offscreen");
    }
    // A pupil that vanishes mid-write must not kill the test run, as in the program.
    ::signal(SIGPIPE, SIG_IGN);
    ::testing::InitGoogleTest(&argc, argv);
    QApplication application(argc, argv);
    QApplication::setQuitOnLastWindowClosed(false);
    return RUN_ALL_TESTS();
}
