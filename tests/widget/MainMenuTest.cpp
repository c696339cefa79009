// The tray menu: its entries, their words to the pupils, their marks and questions, the
// autostart entry and the tray icon.

#include "Eventually.h"
#include "FakeResolver.h"
#include "LoopbackPupil.h"
#include "Ports.h"
#include "RecordingDialogs.h"
#include "StuckPupil.h"
#include "TempDir.h"
#include "app/IniSettings.h"
#include "forms/Form_MainMenu.h"
#include "forms/QtDialogs.h"

#include <QAction>
#include <QApplication>
#include <QEventLoop>
#include <QKeyEvent>
#include <QMenu>
#include <QMessageBox>
#include <QPushButton>
#include <QSystemTrayIcon>
#include <QTimer>
#include <filesystem>
#include <gtest/gtest.h>
#include <memory>
#include <optional>

namespace tavelcast {
namespace {

using namespace std::chrono_literals;
using testing::FakeResolver;
using testing::LoopbackPupil;
using testing::RecordingDialogs;
using testing::TempDir;
namespace fs = std::filesystem;

// Waits for condition while the Qt event loop runs, up to the deadline.
bool processUntil(const std::function<bool()>& condition, std::chrono::milliseconds timeout = 10s) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!condition()) {
        if (std::chrono::steady_clock::now() >= deadline) {
            return condition();
        }
        QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
    }
    return true;
}

// Tavelcast started from an Options.ini in a temporary AppDir, listening on 127.0.0.1, with
// its autostart folder in a temporary config folder and pupils connected in order.
struct Teacher {
    explicit Teacher(Dialogs* dialogs = nullptr, std::chrono::milliseconds writeDeadline = 5000ms,
                     const std::function<void(const fs::path&)>& prepareConfig = {}) {
        port = testing::freePort();
        WriteIniSetting(appDir.dir() + "Options.ini", "SIP", "127.0.0.1");
        WriteIniSetting(appDir.dir() + "Options.ini", "SPort", std::to_string(port));
        if (prepareConfig) {
            prepareConfig(config.path());
        }
        MainMenuEnvironment env;
        env.AppDir = appDir.dir();
        env.dialogs = dialogs != nullptr ? dialogs : &recording;
        env.resolver = std::make_shared<FakeResolver>();
        env.writeDeadline = writeDeadline;
        env.showTrayIcon = false; // the offscreen platform has no tray
        env.autostartFolder = config.dir() + "autostart/";
        menu = std::make_unique<TF_MainMenu>(env);
        QObject::connect(menu.get(), &TF_MainMenu::startUpFinished,
                         [this](bool listening) { started = listening; });
        EXPECT_TRUE(processUntil([this] { return started.has_value(); }));
        EXPECT_EQ(started, true);
    }

    void connectPupils(int count) {
        for (int i = 0; i < count; ++i) {
            pupils.push_back(std::make_unique<LoopbackPupil>(port));
            const auto expected = pupils.size();
            EXPECT_TRUE(
                testing::eventually([&] { return menu->server()->connectionCount() == expected; }));
        }
    }

    QAction* action(const char* name) const {
        auto* found = menu->PopupMenu1()->findChild<QAction*>(QString::fromLatin1(name));
        EXPECT_NE(found, nullptr) << name;
        return found;
    }
    bool checked(const char* name) const { return action(name)->isChecked(); }
    void trigger(const char* name) { action(name)->trigger(); }

    fs::path autostartFile() const { return config.path() / "autostart" / "Tavelcast.desktop"; }

    TempDir appDir;
    TempDir config;
    RecordingDialogs recording;
    std::uint16_t port = 0;
    std::optional<bool> started;
    std::unique_ptr<TF_MainMenu> menu;
    std::vector<std::unique_ptr<LoopbackPupil>> pupils;
};

// Reads a pupil's lines until the server's "GetSnapShot" marker.
std::vector<std::string> linesUntilMarker(LoopbackPupil& pupil) {
    std::vector<std::string> lines;
    for (int i = 0; i < 1000; ++i) {
        const auto line = pupil.readLine(5s);
        if (!line || *line == "GetSnapShot") {
            break;
        }
        lines.push_back(*line);
    }
    return lines;
}

TEST(MainMenu, TheMenuIsExactlyTheTable) {
    struct Entry {
        const char* objectName; // "" for a separator
        const char* caption;
        const char* shortcut;
        bool checkable;
        bool checked;
    };
    const std::vector<Entry> expected = {
        {"DonotAllow1", "Disallowed Applications", "Ctrl+D", false, false},
        {"DisallowedEnabled1", "Enable Disallow Rules", "", true, true},
        {"", "", "", false, false},
        {"LockALLKeyboard1", "Lock ALL Keyboards", "", true, false},
        {"RestartALLClients1", "Restart ALL Clients", "", false, false},
        {"ShutdownALLClients1", "Shutdown ALL Clients", "", false, false},
        {"", "", "", false, false},
        {"GetSnapShot1", "Manage Clients/Class", "Ctrl+M", false, false},
        {"StartAll", "Send Screen to Clients", "Ctrl+B", true, false},
        {"StopAll", "Stop Sending Screens", "Ctrl+E", false, false},
        {"", "", "", false, false},
        {"Autostartwithwindows1", "Autostart with windows", "", true, false},
        {"", "", "", false, false},
        {"Exit1", "Exit", "Ctrl+X", false, false},
    };
    Teacher teacher;
    const auto actions = teacher.menu->PopupMenu1()->actions();
    ASSERT_EQ(static_cast<std::size_t>(actions.size()), expected.size());
    for (std::size_t i = 0; i < expected.size(); ++i) {
        const auto& e = expected[i];
        const QAction* a = actions[static_cast<int>(i)];
        SCOPED_TRACE(std::string("entry ") + std::to_string(i) + " " + e.objectName);
        EXPECT_EQ(a->isSeparator(), std::string(e.objectName).empty());
        if (a->isSeparator()) {
            continue;
        }
        EXPECT_EQ(a->objectName().toStdString(), e.objectName);
        EXPECT_EQ(a->text().toStdString(), e.caption);
        EXPECT_EQ(a->shortcut().toString().toStdString(), e.shortcut);
        if (*e.shortcut != '\0') {
            EXPECT_TRUE(a->isShortcutVisibleInContextMenu());
        }
        EXPECT_EQ(a->isCheckable(), e.checkable);
        EXPECT_EQ(a->isChecked(), e.checked);
        EXPECT_TRUE(a->isEnabled());
    }
    EXPECT_TRUE(teacher.menu->state().disallowRulesEnabled());
    EXPECT_EQ(teacher.menu->state().StreamMode(), "");

    // The icon: Tavelcast's own, no tooltip, PopupMenu1 as its context menu.
    const QSystemTrayIcon* tray = teacher.menu->trayIcon();
    ASSERT_NE(tray, nullptr);
    EXPECT_FALSE(tray->icon().isNull());
    EXPECT_FALSE(tray->icon().pixmap(16, 16).isNull());
    EXPECT_TRUE(tray->toolTip().isEmpty());
    EXPECT_EQ(tray->contextMenu(), teacher.menu->PopupMenu1());
    EXPECT_TRUE(teacher.recording.events.empty());
}

TEST(MainMenu, EntriesSendTheirWordsAndKeepTheirMarks) {
    struct Step {
        const char* entry;
        std::optional<bool> answer;     // the teacher's answer when a question is asked
        std::vector<std::string> words; // what every pupil receives
        const char* question;           // "" when none is asked
        std::vector<std::pair<const char*, bool>> marks; // marks afterwards
        StreamModeValue mode;
    };
    const char* restartQ = "Are you sure you want to send a Restart Command to all clients ?";
    const char* shutdownQ = "Are you sure you want to send a Shutdown Command to all clients ?";
    using M = StreamModeValue;
    const std::vector<Step> steps = {
        {"DisallowedEnabled1", {}, {"DisallowOFF"}, "", {{"DisallowedEnabled1", false}}, M::Empty},
        {"DisallowedEnabled1", {}, {"DisallowON"}, "", {{"DisallowedEnabled1", true}}, M::Empty},
        {"LockALLKeyboard1", {}, {"KeyLockON"}, "", {{"LockALLKeyboard1", true}}, M::Empty},
        {"LockALLKeyboard1", {}, {"KeyLockOFF"}, "", {{"LockALLKeyboard1", false}}, M::Empty},
        {"RestartALLClients1", false, {}, restartQ, {}, M::Empty},
        {"RestartALLClients1", true, {"Restart"}, restartQ, {}, M::Empty},
        {"ShutdownALLClients1", false, {}, shutdownQ, {}, M::Empty},
        {"ShutdownALLClients1", true, {"ShutDown"}, shutdownQ, {}, M::Empty},
        // Stop while sending was never started still tells every pupil.
        {"StopAll", {}, {"StopScreenStreaming"}, "", {{"StartAll", false}}, M::StopScreenStreaming},
        {"StartAll", {}, {}, "", {{"StartAll", true}}, M::DoScreenStreaming},
        // A second choice only removes the mark; sending goes on.
        {"StartAll", {}, {}, "", {{"StartAll", false}}, M::DoScreenStreaming},
        {"StartAll", {}, {}, "", {{"StartAll", true}}, M::DoScreenStreaming},
        {"StopAll", {}, {"StopScreenStreaming"}, "", {{"StartAll", false}}, M::StopScreenStreaming},
        {"GetSnapShot1", {}, {}, "", {}, M::StopScreenStreaming},
        {"DonotAllow1", {}, {}, "", {}, M::StopScreenStreaming},
    };
    Teacher teacher;
    teacher.connectPupils(3);
    int manage = 0;
    int disallowed = 0;
    QObject::connect(teacher.menu.get(), &TF_MainMenu::manageClientsRequested, [&] { ++manage; });
    QObject::connect(teacher.menu.get(), &TF_MainMenu::disallowedApplicationsRequested,
                     [&] { ++disallowed; });

    std::vector<std::string> expectedWords;
    std::vector<std::string> expectedQuestions;
    for (std::size_t i = 0; i < steps.size(); ++i) {
        const auto& step = steps[i];
        SCOPED_TRACE(std::string("step ") + std::to_string(i) + " " + step.entry);
        if (step.answer) {
            teacher.recording.yesNoAnswers.push_back(*step.answer);
        }
        teacher.trigger(step.entry);
        expectedWords.insert(expectedWords.end(), step.words.begin(), step.words.end());
        if (*step.question != '\0') {
            expectedQuestions.push_back(step.question);
        }
        EXPECT_EQ(teacher.recording.texts("question"), expectedQuestions);
        for (const auto& [name, mark] : step.marks) {
            EXPECT_EQ(teacher.checked(name), mark) << name;
        }
        EXPECT_EQ(teacher.menu->state().streamModeValue(), step.mode);
        EXPECT_EQ(teacher.menu->state().disallowRulesEnabled(),
                  teacher.checked("DisallowedEnabled1"));
    }
    EXPECT_EQ(manage, 1);
    EXPECT_EQ(disallowed, 1);
    EXPECT_TRUE(teacher.recording.texts("error").empty());
    EXPECT_TRUE(teacher.recording.texts("message").empty());

    // Every pupil got exactly these words, in this order, and nothing else.
    teacher.menu->commandDispatch()->GetSnapShots();
    for (auto& pupil : teacher.pupils) {
        EXPECT_EQ(linesUntilMarker(*pupil), expectedWords);
    }
}

TEST(MainMenu, WithNoPupilsEntriesStillChangeTheirMarks) {
    Teacher teacher;
    teacher.recording.yesNoAnswers = {true, true};
    for (const char* entry : {"DisallowedEnabled1", "LockALLKeyboard1", "StartAll",
                              "RestartALLClients1", "ShutdownALLClients1"}) {
        teacher.trigger(entry);
    }
    EXPECT_FALSE(teacher.checked("DisallowedEnabled1"));
    EXPECT_TRUE(teacher.checked("LockALLKeyboard1"));
    EXPECT_TRUE(teacher.checked("StartAll"));
    EXPECT_EQ(teacher.menu->state().StreamMode(), "DoScreenStreaming");
    teacher.trigger("StopAll");
    EXPECT_FALSE(teacher.checked("StartAll"));
    EXPECT_EQ(teacher.menu->state().StreamMode(), "StopScreenStreaming");
    EXPECT_EQ(teacher.recording.texts("question").size(), 2u);
    EXPECT_TRUE(teacher.recording.texts("error").empty());
    EXPECT_TRUE(teacher.recording.texts("message").empty());
}

TEST(MainMenu, TheRealWarningAnswersYesNoAndEscape) {
    struct Case {
        const char* how;
        std::function<void(QMessageBox&)> answer;
        bool sent;
    };
    const std::vector<Case> cases = {
        {"Escape",
         [](QMessageBox& box) {
             QKeyEvent key(QEvent::KeyPress, Qt::Key_Escape, Qt::NoModifier);
             QApplication::sendEvent(&box, &key);
         },
         false},
        {"No", [](QMessageBox& box) { box.button(QMessageBox::No)->click(); }, false},
        {"Return on the default button",
         [](QMessageBox& box) {
             QKeyEvent key(QEvent::KeyPress, Qt::Key_Return, Qt::NoModifier);
             QApplication::sendEvent(box.focusWidget() ? box.focusWidget() : &box, &key);
         },
         true},
    };
    QtDialogs dialogs("Tavelcast");
    Teacher teacher(&dialogs);
    teacher.connectPupils(1);
    for (const auto& c : cases) {
        SCOPED_TRACE(c.how);
        std::string title;
        std::string text;
        bool defaultIsYes = false;
        bool answered = false;
        // Answers the box once it is up; a deadline closes it if it never shows.
        QTimer poll;
        const auto started = std::chrono::steady_clock::now();
        QObject::connect(&poll, &QTimer::timeout, [&] {
            auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
            if (box == nullptr) {
                if (std::chrono::steady_clock::now() - started > 10s) {
                    poll.stop();
                }
                return;
            }
            poll.stop();
            title = box->windowTitle().toStdString();
            text = box->text().toStdString();
            defaultIsYes = box->defaultButton() == box->button(QMessageBox::Yes);
            answered = true;
            c.answer(*box);
        });
        poll.start(5);
        teacher.trigger("RestartALLClients1");
        poll.stop();
        ASSERT_TRUE(answered);
        EXPECT_EQ(title, "Warning");
        EXPECT_EQ(text, "Are you sure you want to send a Restart Command to all clients ?");
        EXPECT_TRUE(defaultIsYes);
        teacher.menu->commandDispatch()->GetSnapShots();
        EXPECT_EQ(linesUntilMarker(*teacher.pupils[0]),
                  c.sent ? std::vector<std::string>{"Restart"} : std::vector<std::string>{});
    }
}

TEST(MainMenu, AFailedSendIsShownOnceAndTheMarkStays) {
    Teacher teacher(nullptr, 300ms);
    teacher.connectPupils(3);
    ASSERT_TRUE(testing::fillUntilBlocked(testing::serverSideFd(teacher.port, *teacher.pupils[1])));
    teacher.trigger("StartAll");
    teacher.trigger("StopAll");
    // The stuck pupil is named in one box; the others got the word; the marks are those of
    // a completed command.
    ASSERT_EQ(teacher.recording.texts("error").size(), 1u);
    EXPECT_NE(teacher.recording.texts("error")[0].find("127.0.0.1"), std::string::npos)
        << teacher.recording.texts("error")[0];
    EXPECT_FALSE(teacher.checked("StartAll"));
    EXPECT_EQ(teacher.menu->state().StreamMode(), "StopScreenStreaming");
    EXPECT_EQ(teacher.pupils[0]->readLine(5s), "StopScreenStreaming");
    EXPECT_EQ(teacher.pupils[2]->readLine(5s), "StopScreenStreaming");

    // The stuck pupil was disconnected; once it has left the list, the next command goes
    // through without a box.
    ASSERT_TRUE(
        testing::eventually([&] { return teacher.menu->server()->connectionCount() == 2; }));
    EXPECT_TRUE(teacher.pupils[1]->waitClosed(10s));
    teacher.trigger("LockALLKeyboard1");
    EXPECT_TRUE(teacher.checked("LockALLKeyboard1"));
    EXPECT_EQ(teacher.recording.texts("error").size(), 1u);
    EXPECT_EQ(teacher.pupils[0]->readLine(5s), "KeyLockON");
    EXPECT_EQ(teacher.pupils[2]->readLine(5s), "KeyLockON");
}

TEST(MainMenu, AutostartMarkShowsWhetherTheEntryExists) {
    // A hand-made entry shows as checked at start-up; choosing the entry deletes it.
    Teacher teacher(nullptr, 5000ms, [](const fs::path& config) {
        fs::create_directories(config / "autostart");
        testing::writeFile(config / "autostart" / "Tavelcast.desktop", "made by hand");
    });
    EXPECT_TRUE(teacher.checked("Autostartwithwindows1"));
    teacher.trigger("Autostartwithwindows1");
    EXPECT_FALSE(teacher.checked("Autostartwithwindows1"));
    EXPECT_FALSE(fs::exists(teacher.autostartFile()));

    // This program is not called Tavelcast, yet the entry starts AppDir + "Tavelcast".
    teacher.trigger("Autostartwithwindows1");
    EXPECT_TRUE(teacher.checked("Autostartwithwindows1"));
    const std::string text = testing::readFile(teacher.autostartFile());
    EXPECT_NE(text.find("\nExec=" + teacher.appDir.dir() + "Tavelcast\n"), std::string::npos)
        << text;
    EXPECT_NE(text.find("\nPath=" + teacher.appDir.dir() + "\n"), std::string::npos) << text;
    EXPECT_TRUE(teacher.recording.events.empty());
}

TEST(MainMenu, AutostartThatCannotBeWrittenStaysUncheckedSilently) {
    Teacher teacher(nullptr, 5000ms, [](const fs::path& config) {
        testing::writeFile(config / "autostart", "a file where the folder should be");
    });
    EXPECT_FALSE(teacher.checked("Autostartwithwindows1"));
    teacher.trigger("Autostartwithwindows1");
    EXPECT_FALSE(teacher.checked("Autostartwithwindows1"));
    EXPECT_TRUE(teacher.recording.events.empty());
}

TEST(MainMenu, ExitEndsTheProgramAndThePupilsSeeTheirConnectionsClose) {
    Teacher teacher;
    teacher.connectPupils(3);
    // Exit ends the application's event loop, as in the program.
    QTimer::singleShot(0, [&] { teacher.trigger("Exit1"); });
    QTimer::singleShot(10000, [] { QCoreApplication::exit(1); }); // only if Exit does nothing
    EXPECT_EQ(QApplication::exec(), 0);
    teacher.menu.reset();
    for (auto& pupil : teacher.pupils) {
        EXPECT_TRUE(pupil->waitClosed(5s));
    }
}

} // namespace
} // namespace tavelcast
