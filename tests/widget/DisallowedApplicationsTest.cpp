// The disallowed-applications editor on Qt's offscreen platform, with recorded dialogs.

#include "Eventually.h"
#include "InProcessServer.h"
#include "LoopbackPupil.h"
#include "RecordingDialogs.h"
#include "StuckPupil.h"
#include "TempDir.h"
#include "disallow/DisallowedStore.h"
#include "forms/Form_DisallowedApplications.h"

#include <QApplication>
#include <QCloseEvent>
#include <QFrame>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QTimer>
#include <chrono>
#include <functional>
#include <gtest/gtest.h>
#include <memory>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

namespace tavelcast {
namespace {

using testing::InProcessServer;
using testing::LoopbackPupil;
using testing::readFile;
using testing::RecordingDialogs;
using testing::TempDir;
using testing::writeFile;
using Names = std::vector<std::string>;

const std::string InitialText = "< New Process here i.e. iexplore.exe >";
const std::string Duplicate = "Process is already in the list";
const std::string Invalid = "Invalid Process/Filename\rProcess name can not contain spaces\r"
                            "or .exe extension not found";
const std::string DeleteQuestion = "Would you like to delete process ";

std::string text(const QString& s) {
    return s.toStdString();
}

class DisallowedEditor : public ::testing::Test {
protected:
    DisallowedEditor() : store(appDir.dir()) {}

    std::unique_ptr<TF_DisallowedApplications> open() {
        return std::make_unique<TF_DisallowedApplications>(dialogs, store);
    }

    TempDir appDir;
    DisallowedStore store;
    RecordingDialogs dialogs;
};

TEST_F(DisallowedEditor, WindowHasTheCaptionSizeAndControlsInPlace) {
    auto form = open();
    EXPECT_EQ(text(form->windowTitle()), "Diallowed Applications");
    EXPECT_TRUE(form->isModal());
    EXPECT_EQ(form->size(), QSize(564, 495));
    EXPECT_EQ(form->minimumSize(), QSize(564, 495));
    EXPECT_EQ(form->maximumSize(), QSize(564, 495));
    const Qt::WindowFlags flags = form->windowFlags();
    EXPECT_TRUE(flags.testFlag(Qt::WindowTitleHint));
    EXPECT_FALSE(flags.testFlag(Qt::WindowCloseButtonHint));
    EXPECT_FALSE(flags.testFlag(Qt::WindowMinimizeButtonHint));
    EXPECT_FALSE(flags.testFlag(Qt::WindowMaximizeButtonHint));
    EXPECT_FALSE(flags.testFlag(Qt::WindowContextHelpButtonHint));
    EXPECT_EQ(form->font().family(), QString("Tahoma"));
    EXPECT_EQ(form->font().pointSize(), 8);

    EXPECT_EQ(form->Panel1->geometry(), QRect(0, 0, 564, 41));
    EXPECT_EQ(form->Panel2->geometry(), QRect(0, 41, 564, 413));
    EXPECT_EQ(form->Panel3->geometry(), QRect(0, 454, 564, 41));

    struct LabelSpec {
        QLabel* label;
        QWidget* panel;
        QPoint at;
        const char* caption;
    };
    const LabelSpec labels[] = {
        {form->Label1, form->Panel1, {8, 14}, "Diallowed Applications"},
        {form->Label2,
         form->Panel2,
         {8, 8},
         "You can disallow your client terminals to run applications. You can do that by "
         "running the process name and"},
        {form->Label3,
         form->Panel2,
         {8, 20},
         "pressing the add button. While the Tavelseats and Tavelcast are running clients wont "
         "be able to start these"},
        {form->Label4, form->Panel2, {8, 32}, "processes."},
        {form->Label5, form->Panel2, {8, 368}, "Process name"},
    };
    for (const auto& spec : labels) {
        EXPECT_EQ(spec.label->parentWidget(), spec.panel) << spec.caption;
        EXPECT_EQ(spec.label->pos(), spec.at) << spec.caption;
        EXPECT_EQ(text(spec.label->text()), spec.caption);
    }
    EXPECT_TRUE(form->Label1->font().bold());
    EXPECT_FALSE(form->Label2->font().bold());

    EXPECT_EQ(form->ListBox1->parentWidget(), form->Panel2);
    EXPECT_EQ(form->ListBox1->geometry(), QRect(8, 50, 547, 311));
    EXPECT_FALSE(form->ListBox1->isSortingEnabled());
    EXPECT_EQ(form->Edit1->parentWidget(), form->Panel2);
    EXPECT_EQ(form->Edit1->geometry(), QRect(8, 384, 547, 21));
    EXPECT_EQ(text(form->Edit1->text()), InitialText);

    struct ButtonSpec {
        QPushButton* button;
        const char* caption;
        int left;
    };
    const ButtonSpec buttons[] = {
        {form->Button2, "&New", 8}, {form->Button3, "&Delete", 89}, {form->Button1, "&Close", 482}};
    for (const auto& spec : buttons) {
        EXPECT_EQ(spec.button->parentWidget(), form->Panel3) << spec.caption;
        EXPECT_EQ(text(spec.button->text()), spec.caption);
        EXPECT_EQ(spec.button->geometry(), QRect(spec.left, 6, 75, 25)) << spec.caption;
        EXPECT_FALSE(spec.button->isDefault()) << spec.caption;
        EXPECT_FALSE(spec.button->autoDefault()) << spec.caption;
    }
}

TEST_F(DisallowedEditor, OpensWithTheStoredNamesInSlotOrder) {
    writeFile(store.path(), "[IniSettings]\nApplicationProcess0=iexplore.exe\n"
                            "ApplicationProcess1=\nApplicationProcess2=a.exe\n");
    auto form = open();
    EXPECT_EQ(form->entries(), (Names{"iexplore.exe", "a.exe"}));
}

struct NewCase {
    const char* name;
    Names stored;
    std::string typed;
    Names messages;
    Names after;
};

std::ostream& operator<<(std::ostream& out, const NewCase& c) {
    return out << c.name;
}

class NewButton : public DisallowedEditor, public ::testing::WithParamInterface<NewCase> {};

TEST_P(NewButton, ChecksThenAppendsAsTyped) {
    const NewCase& c = GetParam();
    store.SaveDisallowedList(c.stored);
    auto form = open();
    form->Edit1->setText(QString::fromStdString(c.typed));
    form->Button2->click();
    EXPECT_EQ(dialogs.texts("message"), c.messages);
    EXPECT_TRUE(dialogs.texts("error").empty());
    EXPECT_EQ(form->entries(), c.after);
    // The edit box keeps its text either way.
    EXPECT_EQ(text(form->Edit1->text()), c.typed);
}

INSTANTIATE_TEST_SUITE_P(
    Names, NewButton,
    ::testing::Values(
        NewCase{"InitialTextIsInvalidOnly", {}, InitialText, {Invalid}, {}},
        NewCase{"Accepted", {"iexplore.exe"}, "notepad.exe", {}, {"iexplore.exe", "notepad.exe"}},
        NewCase{"UpperCaseDuplicate", {"notepad.exe"}, "NOTEPAD.EXE", {Duplicate}, {"notepad.exe"}},
        NewCase{"NoExeIsInvalid", {}, "notepad", {Invalid}, {}},
        NewCase{"ExeAnywhere", {}, "tool.exe.bak", {}, {"tool.exe.bak"}},
        NewCase{"ExeInAnyCaseKeptAsTyped", {}, "Game.ExE", {}, {"Game.ExE"}},
        NewCase{"ShortNameIsAccepted", {}, "a.exe", {}, {"a.exe"}},
        NewCase{"EmptyIsInvalid", {}, "", {Invalid}, {}},
        NewCase{"SpaceIsInvalid", {}, "my game.exe", {Invalid}, {}},
        // A pasted line break would split the stored slot; it is refused like a space.
        NewCase{"LineBreakIsInvalid", {}, "game.exe\r\nApplicationProcess9=x.exe", {Invalid}, {}},
        NewCase{"TabIsInvalid", {}, "game\t.exe", {Invalid}, {}},
        NewCase{"DuplicateFirstThenInvalid",
                {"my game.exe"},
                "MY GAME.EXE",
                {Duplicate, Invalid},
                {"my game.exe"}},
        // Only a to z change case: these differ in a letter outside that range.
        NewCase{
            "NonAsciiLettersKeepTheirCase", {"täst.exe"}, "TÄST.EXE", {}, {"täst.exe", "TÄST.EXE"}},
        NewCase{"AppendsAtTheEndNotSorted",
                {"zed.exe", "bee.exe"},
                "aaa.exe",
                {},
                {"zed.exe", "bee.exe", "aaa.exe"}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(DisallowedEditor, DeleteAsksAndOnlyYesDeletesTheHighlightedEntry) {
    store.SaveDisallowedList({"one.exe", "two.exe", "three.exe"});
    auto form = open();
    form->ListBox1->setCurrentRow(1);

    dialogs.yesNoAnswers = {false};
    form->Button3->click();
    EXPECT_EQ(dialogs.texts("question"), Names{DeleteQuestion});
    EXPECT_EQ(form->entries(), (Names{"one.exe", "two.exe", "three.exe"}));

    dialogs.yesNoAnswers = {true};
    form->Button3->click();
    EXPECT_EQ(form->entries(), (Names{"one.exe", "three.exe"}));

    // Nothing highlighted: Yes deletes nothing.
    form->ListBox1->clearSelection();
    dialogs.yesNoAnswers = {true};
    form->Button3->click();
    EXPECT_EQ(form->entries(), (Names{"one.exe", "three.exe"}));
    EXPECT_EQ(dialogs.texts("question").size(), 3u);
    EXPECT_TRUE(dialogs.texts("message").empty());
}

TEST_F(DisallowedEditor, CloseSavesTheListInOrderAndCloses) {
    store.SaveDisallowedList({"keep.exe", "drop.exe"});
    auto form = open();
    form->show();
    form->Edit1->setText("new.exe");
    form->Button2->click();
    form->ListBox1->setCurrentRow(1);
    dialogs.yesNoAnswers = {true};
    form->Button3->click();

    form->Button1->click();
    EXPECT_FALSE(form->isVisible());
    EXPECT_EQ(form->result(), QDialog::Accepted);
    EXPECT_EQ(store.LoadDisallowedList(), (Names{"keep.exe", "new.exe"}));
    EXPECT_NE(readFile(store.path()).find("\nApplicationProcess100=\n"), std::string::npos);
}

TEST_F(DisallowedEditor, FailedSaveIsShownAndTheWindowStaysOpen) {
    DisallowedStore unwritable(appDir.dir() + "missing-folder/");
    TF_DisallowedApplications form(dialogs, unwritable);
    form.show();
    form.Button1->click();
    EXPECT_EQ(dialogs.texts("error"), Names{"Unable to write to " + unwritable.path()});
    EXPECT_TRUE(form.isVisible());
}

TEST_F(DisallowedEditor, EscapeAndTheWindowManagersCloseDoNotCloseIt) {
    auto form = open();
    form->show();
    QKeyEvent escape(QEvent::KeyPress, Qt::Key_Escape, Qt::NoModifier);
    QApplication::sendEvent(form.get(), &escape);
    EXPECT_TRUE(form->isVisible());
    EXPECT_FALSE(form->close());
    EXPECT_TRUE(form->isVisible());
    // Nothing was saved by either.
    EXPECT_FALSE(std::filesystem::exists(store.path()));
    form->Button1->click();
    EXPECT_FALSE(form->isVisible());
}

// Runs act on the editor once DonotAllow1Click shows it modally. Should act leave it open,
// the editor is ended after a deadline so that the test fails instead of hanging.
class WhenEditorOpens {
public:
    explicit WhenEditorOpens(std::function<void(TF_DisallowedApplications&)> act)
        : m_act(std::move(act)),
          m_deadline(std::chrono::steady_clock::now() + std::chrono::seconds(10)) {
        m_timer.setInterval(5);
        QObject::connect(&m_timer, &QTimer::timeout, [this] { tick(); });
        m_timer.start();
    }
    bool acted() const { return m_acted; }

private:
    void tick() {
        auto* form = qobject_cast<TF_DisallowedApplications*>(QApplication::activeModalWidget());
        if (form == nullptr) {
            return;
        }
        if (!m_acted) {
            m_acted = true;
            m_act(*form);
        } else if (std::chrono::steady_clock::now() > m_deadline) {
            form->done(QDialog::Rejected);
        }
    }

    QTimer m_timer;
    std::function<void(TF_DisallowedApplications&)> m_act;
    std::chrono::steady_clock::time_point m_deadline;
    bool m_acted = false;
};

class DisallowedPush : public DisallowedEditor {
protected:
    DisallowedPush() : server({}, nullptr, &store) {}

    void connectPupils(int count) {
        for (int i = 0; i < count; ++i) {
            pupils.push_back(std::make_unique<LoopbackPupil>(server.port()));
        }
        ASSERT_TRUE(server.notifying.waitConnects(count));
        ASSERT_EQ(server.server.connectionCount(), static_cast<std::size_t>(count));
    }

    InProcessServer server;
    std::vector<std::unique_ptr<LoopbackPupil>> pupils;
};

TEST_F(DisallowedPush, OpenAndCloseWithoutChangesRewritesAllSlotsAndPushesTheSameList) {
    writeFile(store.path(), "[IniSettings]\nApplicationProcess0=iexplore.exe\n"
                            "ApplicationProcess2=notepad.exe\n");
    const std::string line = store.BuildDisallowedList();
    server.state.setDisallowRulesEnabled(false); // the push does not depend on the rule
    connectPupils(3);

    WhenEditorOpens closer([](TF_DisallowedApplications& form) { form.Button1->click(); });
    CommandDispatch dispatch(server.server, server.hostNames, dialogs);
    DonotAllow1Click(nullptr, dialogs, store, &dispatch);
    ASSERT_TRUE(closer.acted());

    const std::string file = readFile(store.path());
    for (int slot = 0; slot < DisallowedStore::SlotCount; ++slot) {
        const std::string value = slot == 0 ? "iexplore.exe" : slot == 1 ? "notepad.exe" : "";
        EXPECT_NE(file.find(DisallowedStore::slotKey(slot) + "=" + value + "\n"), std::string::npos)
            << slot;
    }
    EXPECT_EQ(store.BuildDisallowedList(), line);
    for (auto& pupil : pupils) {
        EXPECT_EQ(pupil->readLine(), std::optional<std::string>("GetDisallowedApps"));
        EXPECT_EQ(pupil->readLine(), std::optional<std::string>(line));
    }
    EXPECT_TRUE(dialogs.events.empty());
    // Nothing came to the editor after it was destroyed.
    EXPECT_EQ(QApplication::activeModalWidget(), nullptr);
}

TEST_F(DisallowedPush, ThreePupilsReceiveTheWordThenTheNewListLine) {
    store.SaveDisallowedList({"iexplore.exe"});
    connectPupils(3);

    WhenEditorOpens editor([](TF_DisallowedApplications& form) {
        form.Edit1->setText("solitaire.exe");
        form.Button2->click();
        form.Edit1->setText("a.exe"); // stored, not sent
        form.Button2->click();
        form.Button1->click();
    });
    CommandDispatch dispatch(server.server, server.hostNames, dialogs);
    DonotAllow1Click(nullptr, dialogs, store, &dispatch);
    ASSERT_TRUE(editor.acted());

    EXPECT_EQ(store.LoadDisallowedList(), (Names{"iexplore.exe", "solitaire.exe", "a.exe"}));
    for (auto& pupil : pupils) {
        EXPECT_EQ(pupil->readLine(), std::optional<std::string>("GetDisallowedApps"));
        EXPECT_EQ(pupil->readLine(), std::optional<std::string>(";iexplore.exe;solitaire.exe"));
        EXPECT_EQ(pupil->pending(), "");
    }
}

// A pupil that stopped reading misses the write deadline; the pupils after it in the list
// still get the list, and one error box names the one that failed.
TEST(DisallowedPushFailure, AStuckPupilDoesNotStopThePushAndIsNamedInOneMessage) {
    TempDir appDir;
    DisallowedStore store(appDir.dir());
    store.SaveDisallowedList({"iexplore.exe"});
    RecordingDialogs dialogs;
    TcpServerOptions options;
    options.writeDeadline = std::chrono::milliseconds(300);
    InProcessServer server(options, nullptr, &store);

    std::vector<std::unique_ptr<LoopbackPupil>> pupils;
    for (const char* source : {"127.0.0.2", "127.0.0.3", "127.0.0.4"}) {
        pupils.push_back(std::make_unique<LoopbackPupil>(server.port(), source));
        ASSERT_TRUE(server.notifying.waitConnects(static_cast<int>(pupils.size())));
    }
    ASSERT_TRUE(testing::fillUntilBlocked(testing::serverSideFd(server.port(), *pupils[1])));

    WhenEditorOpens closer([](TF_DisallowedApplications& form) { form.Button1->click(); });
    CommandDispatch dispatch(server.server, server.hostNames, dialogs);
    DonotAllow1Click(nullptr, dialogs, store, &dispatch);
    ASSERT_TRUE(closer.acted());

    for (const std::size_t i : {0u, 2u}) {
        EXPECT_EQ(pupils[i]->readLine(), std::optional<std::string>("GetDisallowedApps")) << i;
        EXPECT_EQ(pupils[i]->readLine(), std::optional<std::string>(";iexplore.exe")) << i;
    }
    const Names errors = dialogs.texts("error");
    ASSERT_EQ(errors.size(), 1u);
    EXPECT_EQ(errors[0].rfind("The command did not reach 1 client:\n127.0.0.3: ", 0), 0u)
        << errors[0];
    EXPECT_EQ(errors[0].find("127.0.0.2"), std::string::npos);
    EXPECT_EQ(errors[0].find("127.0.0.4"), std::string::npos);
}

TEST_F(DisallowedPush, WithoutAServerTheEditorStillSaves) {
    WhenEditorOpens editor([](TF_DisallowedApplications& form) {
        form.Edit1->setText("calc.exe");
        form.Button2->click();
        form.Button1->click();
    });
    DonotAllow1Click(nullptr, dialogs, store, nullptr);
    ASSERT_TRUE(editor.acted());
    EXPECT_EQ(store.LoadDisallowedList(), Names{"calc.exe"});
}

} // namespace
} // namespace tavelcast
