// The class wall: window size and layout, fading, the refresh pass and its tiles, the
// selection list and the actions on selected pupils. Timers are driven by calling their
// handlers; sending goes to real pupils over loopback.

#include "Eventually.h"
#include "FakeResolver.h"
#include "LoopbackPupil.h"
#include "RecordingDialogs.h"
#include "TempDir.h"
#include "capture/Bitmap.h"
#include "capture/EncodeJpeg.h"
#include "forms/ClientTile.h"
#include "forms/Form_SnapshotClients.h"
#include "forms/SnapshotClientsHost.h"
#include "forms/ThumbnailLoader.h"
#include "net/ClientRegistry.h"
#include "net/CommandDispatch.h"
#include "net/Connection.h"
#include "net/ConnectionHandler.h"
#include "net/NameResolver.h"
#include "net/ServerState.h"
#include "net/TcpServer.h"

#include <QAbstractButton>
#include <QCoreApplication>
#include <QEnterEvent>
#include <QLabel>
#include <QListWidget>
#include <QMenu>
#include <QMouseEvent>
#include <QPointer>
#include <QScrollArea>
#include <QScrollBar>
#include <QTimer>
#include <QToolTip>

#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <gtest/gtest.h>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace tavelcast {
namespace {

using testing::eventually;
using testing::FakeResolver;
using testing::LoopbackPupil;
using testing::readFile;
using testing::RecordingDialogs;
using testing::TempDir;
using testing::writeFile;
namespace fs = std::filesystem;

// A real JPEG of one flat colour.
std::string flatJpeg(QRgb colour, int width = 320, int height = 240) {
    Bitmap bitmap;
    bitmap.reset(width, height);
    for (int y = 0; y < height; ++y) {
        for (int x = 0; x < width; ++x) {
            std::uint8_t* p = bitmap.pixel(x, y);
            p[0] = static_cast<std::uint8_t>(qBlue(colour));
            p[1] = static_cast<std::uint8_t>(qGreen(colour));
            p[2] = static_cast<std::uint8_t>(qRed(colour));
        }
    }
    std::vector<std::uint8_t> stream;
    EncodeJpeg(bitmap, stream);
    return std::string(stream.begin(), stream.end());
}

// The tile's picture shows roughly this colour in its middle.
bool shows(const ClientTile* tile, QRgb colour) {
    if (tile == nullptr || !tile->hasPicture()) {
        return false;
    }
    const QRgb got = tile->picture().pixel(ClientTile::kWidth / 2, ClientTile::kHeight / 2);
    return std::abs(qRed(got) - qRed(colour)) < 12 && std::abs(qGreen(got) - qGreen(colour)) < 12 &&
           std::abs(qBlue(got) - qBlue(colour)) < 12;
}

constexpr QRgb Red = 0xffd02020;
constexpr QRgb Green = 0xff20b040;
constexpr QRgb Blue = 0xff2040d0;

void sendMouse(QWidget* widget, QEvent::Type type, QPoint at, Qt::MouseButton button,
               Qt::MouseButtons buttons) {
    QMouseEvent event(type, QPointF(at), QPointF(widget->mapToGlobal(at)), button, buttons,
                      Qt::NoModifier);
    QCoreApplication::sendEvent(widget, &event);
}

void doubleClick(QWidget* widget) {
    sendMouse(widget, QEvent::MouseButtonDblClick, QPoint(10, 10), Qt::LeftButton, Qt::LeftButton);
}

void pointerEnters(QWidget* widget) {
    QEnterEvent event(QPointF(5, 5), QPointF(5, 5), QPointF(widget->mapToGlobal(QPoint(5, 5))));
    QCoreApplication::sendEvent(widget, &event);
}

void pointerLeaves(QWidget* widget) {
    QEvent event(QEvent::Leave);
    QCoreApplication::sendEvent(widget, &event);
}

// The window and what it needs, without a network: AppDir with its Storage folder, the
// registry, recorded dialogs and a clock the test sets.
class WallTest : public ::testing::Test {
protected:
    void SetUp() override { fs::create_directories(app.path() / "Storage"); }

    void TearDown() override {
        for (auto& window : windows) {
            delete window.data();
        }
    }

    SnapshotClientsEnvironment environment(QRect display = QRect(0, 0, 1380, 900)) {
        SnapshotClientsEnvironment env;
        env.AppDir = app.dir();
        env.registry = &registry;
        env.dispatch = dispatch;
        env.dialogs = &dialogs;
        env.display = display;
        env.clock = [this] { return now; };
        return env;
    }

    TF_SnapshotClients* makeWindow(QRect display = QRect(0, 0, 1380, 900)) {
        auto* window = new TF_SnapshotClients(environment(display));
        windows.emplace_back(window);
        return window;
    }

    void store(const std::string& name, const std::string& bytes) {
        writeFile(app.path() / "Storage" / (name + ".jpg"), bytes);
    }

    void addPupil(const std::string& name, QRgb colour) {
        store(name, flatJpeg(colour));
        registry.appendIfNew(name, "10.0.0." + std::to_string(registry.rows().size() + 1));
    }

    // One refresh pass, then every picture it queued swapped in. The refresh timer is
    // stopped again so that nothing runs behind the test's back.
    static void pass(TF_SnapshotClients* window) {
        window->DoIconsTimer();
        window->DoIcons()->stop();
        settle(window);
    }

    static void settle(TF_SnapshotClients* window) {
        ASSERT_TRUE(eventually([&] {
            QCoreApplication::processEvents();
            return window->thumbnailsSettled();
        }));
    }

    static void fadeIn(TF_SnapshotClients* window) {
        window->DoShow()->start();
        for (int tick = 0; tick < 60 && window->DoShow()->isActive(); ++tick) {
            window->DoShowTimer();
        }
        ASSERT_FALSE(window->DoShow()->isActive());
    }

    TempDir app;
    ClientRegistry registry;
    RecordingDialogs dialogs;
    CommandDispatch* dispatch = nullptr;
    QDateTime now{QDate(2007, 9, 25), QTime(14, 3, 7)};
    std::vector<QPointer<TF_SnapshotClients>> windows;
};

// ------------------------------------------------------------------ size and layout

struct DisplayCase {
    int width, height, columns, windowWidth, windowHeight;
};

TEST_F(WallTest, WindowIsSizedFromTheDisplayAndCentredOnIt) {
    const DisplayCase cases[] = {
        {1380, 900, 9, 1245, 800},
        {1920, 1080, 13, 1785, 980},
        {1024, 768, 6, 840, 668},
        {1366, 768, 9, 1245, 668},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::to_string(c.width) + "x" + std::to_string(c.height));
        EXPECT_EQ(TF_SnapshotClients::columnsFor(c.width), c.columns);
        // A display that does not start at the origin: the window is centred on it.
        const QRect display(200, 30, c.width, c.height);
        TF_SnapshotClients* window = makeWindow(display);
        EXPECT_EQ(window->Columns(), c.columns);
        EXPECT_EQ(window->size(), QSize(c.windowWidth, c.windowHeight));
        EXPECT_EQ(window->pos(), QPoint(200 + (c.width - c.windowWidth) / 2, 30 + 50));
    }
}

QColor background(const QWidget* widget) {
    return widget->palette().color(widget->backgroundRole());
}

TEST_F(WallTest, ControlsSitWhereTheyBelong) {
    TF_SnapshotClients* window = makeWindow(); // 1245 x 800
    EXPECT_TRUE(window->windowFlags() & Qt::FramelessWindowHint);
    EXPECT_EQ(background(window), QColor(Qt::black));
    EXPECT_EQ(window->font().family(), QStringLiteral("Tahoma"));
    EXPECT_EQ(window->font().pointSize(), 8);

    auto* header = window->findChild<QWidget*>(QStringLiteral("Panel1"));
    ASSERT_NE(header, nullptr);
    EXPECT_EQ(header->geometry(), QRect(8, 8, 1245 - 16, 91));
    EXPECT_EQ(background(header), QColor(49, 49, 51));

    auto* logo = header->findChild<QLabel*>(QStringLiteral("Logo"));
    ASSERT_NE(logo, nullptr);
    EXPECT_EQ(logo->size(), QSize(105, 105));

    auto* title = header->findChild<QLabel*>(QStringLiteral("LabelTitle"));
    ASSERT_NE(title, nullptr);
    EXPECT_EQ(title->text(), QStringLiteral("Client Snapshot"));
    EXPECT_EQ(title->pos(), QPoint(122, 37));
    EXPECT_EQ(title->font().pointSize(), 14);
    EXPECT_EQ(title->palette().color(QPalette::WindowText), QColor(Qt::white));

    auto* close = header->findChild<QAbstractButton*>(QStringLiteral("CloseButton"));
    ASSERT_NE(close, nullptr);
    EXPECT_EQ(close->size(), QSize(64, 63));
    EXPECT_EQ(close->toolTip(), QStringLiteral("Close Form"));
    EXPECT_GT(close->x(), header->width() - 64 - 20); // at the header's right end
    EXPECT_LE(close->geometry().right(), header->width() - 1);

    QScrollArea* wall = window->ScrollBox1();
    EXPECT_EQ(wall->geometry(), QRect(8, 105, 1245 - 8 - 205, 800 - 105 - 8));
    EXPECT_EQ(wall->frameShape(), QFrame::NoFrame);
    EXPECT_EQ(background(wall->viewport()), QColor(116, 116, 120));

    auto* side = window->findChild<QWidget*>(QStringLiteral("Panel2"));
    ASSERT_NE(side, nullptr);
    EXPECT_EQ(side->geometry(), QRect(1245 - 8 - 191, 105, 191, 800 - 105 - 8));
    EXPECT_EQ(background(side), QColor(49, 49, 51));

    QListWidget* list = window->ListBoxSelClients();
    EXPECT_EQ(list->parentWidget(), side);
    EXPECT_EQ(list->geometry(), QRect(5, 24, 180, 145));
    EXPECT_EQ(list->palette().color(QPalette::Base), QColor(116, 116, 120));
    EXPECT_EQ(list->palette().color(QPalette::Text), QColor(Qt::white));
    EXPECT_TRUE(list->font().bold());

    struct Placed {
        const char* name;
        const char* text;
        QRect geometry; // an empty size means: only the position is fixed
    };
    const Placed placed[] = {
        {"Label1", "Selected Clients", QRect(8, 8, 0, 0)},
        {"btn_SelectAll", "Select All", QRect(5, 175, 70, 25)},
        {"Button1", "Remove", QRect(81, 175, 49, 25)},
        {"Button2", "Clear All", QRect(136, 175, 49, 25)},
        {"Label2", "Actions for Selected Clients", QRect(8, 216, 0, 0)},
        {"JvImage1", "", QRect(8, 238, 177, 32)},
        {"JvImage2", "", QRect(8, 280, 177, 32)},
        {"JvImage4", "", QRect(8, 320, 177, 32)},
        {"JvImage3", "", QRect(8, 358, 177, 32)},
        {"JvImage5", "", QRect(8, 398, 177, 32)},
        {"JvImage1Caption", "Take Snapshott", QRect(62, 238, 0, 0)},
        {"JvImage2Caption", "Lock Keyboards", QRect(62, 280, 0, 0)},
        {"JvImage4Caption", "Unlock Keyboards", QRect(62, 320, 0, 0)},
        {"JvImage3Caption", "Shutdown", QRect(62, 358, 0, 0)},
        {"JvImage5Caption", "Restart", QRect(62, 398, 0, 0)},
    };
    for (const auto& p : placed) {
        SCOPED_TRACE(p.name);
        auto* control = side->findChild<QWidget*>(QString::fromLatin1(p.name));
        ASSERT_NE(control, nullptr);
        EXPECT_EQ(control->pos(), p.geometry.topLeft());
        if (!p.geometry.size().isEmpty()) {
            EXPECT_EQ(control->size(), p.geometry.size());
        }
        if (auto* label = qobject_cast<QLabel*>(control)) {
            EXPECT_EQ(label->text(), QString::fromLatin1(p.text));
            EXPECT_EQ(label->palette().color(QPalette::WindowText), QColor(Qt::white));
            EXPECT_TRUE(label->font().bold());
        } else if (auto* button = qobject_cast<QAbstractButton*>(control); *p.text != '\0') {
            ASSERT_NE(button, nullptr);
            EXPECT_EQ(button->text(), QString::fromLatin1(p.text));
        } else {
            EXPECT_EQ(control->cursor().shape(), Qt::PointingHandCursor);
        }
    }
}

TEST_F(WallTest, DraggingTheHeaderMovesTheWindow) {
    TF_SnapshotClients* window = makeWindow();
    auto* header = window->findChild<QWidget*>(QStringLiteral("Panel1"));
    const QPoint start = window->pos();
    sendMouse(header, QEvent::MouseButtonPress, QPoint(300, 40), Qt::LeftButton, Qt::LeftButton);
    sendMouse(header, QEvent::MouseMove, QPoint(340, 15), Qt::NoButton, Qt::LeftButton);
    sendMouse(header, QEvent::MouseButtonRelease, QPoint(340, 15), Qt::LeftButton, Qt::NoButton);
    EXPECT_EQ(window->pos(), start + QPoint(40, -25));
    // Without the button held the window stays put.
    sendMouse(header, QEvent::MouseMove, QPoint(100, 60), Qt::NoButton, Qt::NoButton);
    EXPECT_EQ(window->pos(), start + QPoint(40, -25));
}

TEST_F(WallTest, HintsAreKeptButNeverShown) {
    addPupil("PC01", Red);
    TF_SnapshotClients* window = makeWindow();
    pass(window);
    ClientTile* tile = window->tile("PC01");
    ASSERT_NE(tile, nullptr);
    window->show();
    for (QWidget* widget : {static_cast<QWidget*>(tile),
                            window->findChild<QWidget*>(QStringLiteral("CloseButton"))}) {
        ASSERT_FALSE(widget->toolTip().isEmpty());
        QHelpEvent help(QEvent::ToolTip, QPoint(4, 4), widget->mapToGlobal(QPoint(4, 4)));
        QCoreApplication::sendEvent(widget, &help);
        EXPECT_FALSE(QToolTip::isVisible());
    }
    window->hide();
}

// ------------------------------------------------------------------ fading

TEST_F(WallTest, FadesInThenStartsTheRefresh) {
    TF_SnapshotClients* window = makeWindow();
    EXPECT_FALSE(window->isVisible());
    EXPECT_FALSE(window->DoShow()->isActive());
    EXPECT_FALSE(window->DoHide()->isActive());
    EXPECT_FALSE(window->DoIcons()->isActive());
    EXPECT_EQ(window->DoShow()->interval(), 1);
    EXPECT_EQ(window->DoHide()->interval(), 10);
    EXPECT_EQ(window->DoIcons()->interval(), 100);

    window->DoShow()->start();
    window->DoShowTimer();
    EXPECT_TRUE(window->isVisible());
    EXPECT_TRUE(window->alphaBlend());
    EXPECT_EQ(window->alphaBlendValue(), 5);

    int ticks = 1;
    while (window->DoShow()->isActive() && ticks < 100) {
        EXPECT_FALSE(window->DoIcons()->isActive());
        window->DoShowTimer();
        ++ticks;
    }
    EXPECT_EQ(ticks, 50);
    EXPECT_EQ(window->alphaBlendValue(), 250);
    EXPECT_TRUE(window->DoIcons()->isActive());
    EXPECT_EQ(window->DoIcons()->interval(), 100);
    window->DoIcons()->stop();
}

TEST_F(WallTest, ChoosingTheEntryAgainWhileOpen) {
    TF_SnapshotClients* window = makeWindow();
    fadeIn(window);
    window->DoIcons()->stop(); // as after a failed send

    // Once: 250 -> 255 in one tick, and the refresh runs again.
    window->DoShow()->start();
    window->DoShowTimer();
    EXPECT_EQ(window->alphaBlendValue(), 255);
    EXPECT_FALSE(window->DoShow()->isActive());
    EXPECT_TRUE(window->DoIcons()->isActive());

    // Again: 255 + 5 wraps to 4 and the window fades in once more.
    window->DoShow()->start();
    window->DoShowTimer();
    EXPECT_EQ(window->alphaBlendValue(), 4);
    EXPECT_TRUE(window->DoShow()->isActive());
    int ticks = 1;
    while (window->DoShow()->isActive() && ticks < 100) {
        window->DoShowTimer();
        ++ticks;
    }
    EXPECT_EQ(ticks, 51);
    EXPECT_EQ(window->alphaBlendValue(), 254);
    window->DoIcons()->stop();
}

TEST_F(WallTest, FadesOutAndIsDestroyed) {
    QPointer<TF_SnapshotClients> window = makeWindow();
    fadeIn(window);
    window->DoIcons()->stop();
    window->CloseButtonClick();
    EXPECT_TRUE(window->DoHide()->isActive());
    int ticks = 0;
    while (window->DoHide()->isActive() && ticks < 100) {
        window->DoHideTimer();
        ++ticks;
        if (window->DoHide()->isActive()) {
            EXPECT_TRUE(window->isVisible());
            EXPECT_GE(window->alphaBlendValue(), 10);
        }
    }
    EXPECT_EQ(ticks, 49); // 250 down to 5
    EXPECT_FALSE(window->isVisible());
    EXPECT_FALSE(window->alphaBlend());
    EXPECT_TRUE(window->closed());
    EXPECT_FALSE(window->DoIcons()->isActive());
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    EXPECT_TRUE(window.isNull());
}

TEST_F(WallTest, HostBuildsTheWindowOnFirstUseAndAnewAfterAClose) {
    addPupil("PC01", Red);
    SnapshotClientsHost host([this] { return environment(); });
    EXPECT_EQ(host.window(), nullptr);

    host.show();
    QPointer<TF_SnapshotClients> first = host.window();
    ASSERT_FALSE(first.isNull());
    EXPECT_TRUE(first->DoShow()->isActive());
    fadeIn(first);
    pass(first);
    first->btn_SelectAllClick();
    ASSERT_EQ(first->ListBoxSelClients()->count(), 1);

    // Chosen again while open: the same window.
    host.show();
    EXPECT_EQ(host.window(), first.data());
    first->DoShowTimer();
    EXPECT_EQ(first->alphaBlendValue(), 255);

    first->CloseButtonClick();
    for (int tick = 0; tick < 100 && first->DoHide()->isActive(); ++tick) {
        first->DoHideTimer();
    }
    ASSERT_TRUE(first->closed());

    // Before the closed window is gone, and after: a new window, with an empty selection.
    host.show();
    QPointer<TF_SnapshotClients> second = host.window();
    ASSERT_FALSE(second.isNull());
    EXPECT_NE(second.data(), first.data());
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    EXPECT_TRUE(first.isNull());
    ASSERT_FALSE(second.isNull());
    EXPECT_EQ(second->ListBoxSelClients()->count(), 0);
    EXPECT_TRUE(second->DoShow()->isActive());
    second->DoShow()->stop();
}

// ------------------------------------------------------------------ the refresh pass

TEST_F(WallTest, APassBuildsATilePerPupilInSortedOrder) {
    addPupil("PC03", Red);
    addPupil("pc01", Green);
    addPupil("PC02", Blue); // the third pupil of the run: AA 3
    addPupil("lab-7.school.example", Green);
    TF_SnapshotClients* window = makeWindow();

    window->DoIconsTimer();
    EXPECT_TRUE(window->DoIcons()->isActive());
    EXPECT_EQ(window->DoIcons()->interval(), 1000);
    window->DoIcons()->stop();
    settle(window);

    const std::vector<std::string> sorted = {"lab-7.school.example", "pc01", "PC02", "PC03"};
    EXPECT_EQ(window->tileNames(), sorted);
    EXPECT_EQ(window->tile("PC02")->hint(), QStringLiteral("3"));
    EXPECT_EQ(window->tile("PC03")->hint(), QStringLiteral("1"));
    EXPECT_EQ(window->tile("lab-7.school.example")->hint(), QStringLiteral("4"));
    EXPECT_TRUE(shows(window->tile("PC03"), Red));
    EXPECT_TRUE(shows(window->tile("pc01"), Green));
    EXPECT_TRUE(shows(window->tile("PC02"), Blue));

    for (std::size_t i = 0; i < sorted.size(); ++i) {
        SCOPED_TRACE(sorted[i]);
        ClientTile* tile = window->tile(sorted[i]);
        QLabel* label = window->tileLabel(sorted[i]);
        ASSERT_NE(tile, nullptr);
        ASSERT_NE(label, nullptr);
        const QPoint at(static_cast<int>(i) * 200, 0);
        EXPECT_EQ(tile->geometry(), QRect(at, QSize(192, 144)));
        EXPECT_EQ(tile->cursor().shape(), Qt::PointingHandCursor);
        EXPECT_EQ(tile->objectName(), QStringLiteral("Img") + QString::fromStdString(sorted[i]));
        EXPECT_EQ(label->text(), QString::fromStdString(sorted[i]));
        EXPECT_EQ(label->objectName(), QStringLiteral("lbl") + QString::fromStdString(sorted[i]));
        EXPECT_EQ(label->geometry(), QRect(at + QPoint(0, 144 + 15), QSize(192, 15)));
        EXPECT_EQ(label->palette().color(QPalette::WindowText), QColor(Qt::white));
        EXPECT_TRUE(label->alignment() & Qt::AlignHCenter);
        EXPECT_EQ(tile->parentWidget(), window->ScrollBox1()->widget());
    }
}

TEST_F(WallTest, ATileWithoutItsFileIsBlankUntilALaterPassFillsIt) {
    addPupil("PC01", Red);
    registry.appendIfNew("PC05", "10.0.0.5"); // no file yet
    TF_SnapshotClients* window = makeWindow();
    pass(window);
    ClientTile* tile = window->tile("PC05");
    ASSERT_NE(tile, nullptr);
    EXPECT_FALSE(tile->hasPicture());
    EXPECT_TRUE(tile->jpegBytes().isEmpty());
    EXPECT_TRUE(shows(window->tile("PC01"), Red));

    const std::string bytes = flatJpeg(Green);
    store("PC05", bytes);
    pass(window);
    EXPECT_EQ(window->tile("PC05"), tile);
    EXPECT_TRUE(shows(tile, Green));
    EXPECT_EQ(tile->jpegBytes().toStdString(), bytes);

    // A newer snapshot replaces the picture and the bytes.
    const std::string newer = flatJpeg(Blue);
    store("PC05", newer);
    pass(window);
    EXPECT_TRUE(shows(tile, Blue));
    EXPECT_EQ(tile->jpegBytes().toStdString(), newer);
}

TEST_F(WallTest, AFailedLoadRebuildsTheTileBlankInItsCell) {
    addPupil("PC01", Red);
    addPupil("PC02", Green);
    addPupil("PC03", Blue);
    TF_SnapshotClients* window = makeWindow();
    pass(window);
    QPointer<ClientTile> before = window->tile("PC02");
    ASSERT_TRUE(shows(before, Green));
    const QRect cell = before->geometry();

    struct Broken {
        const char* what;
        std::optional<std::string> bytes; // nothing: the file is gone
    };
    const std::string good = flatJpeg(Green);
    const Broken cases[] = {
        {"not a JPEG", std::string("this is not a picture")},
        {"cut short", good.substr(0, good.size() / 2)},
        {"missing", std::nullopt},
    };
    for (const auto& broken : cases) {
        SCOPED_TRACE(broken.what);
        store("PC02", good);
        pass(window);
        before = window->tile("PC02");
        ASSERT_TRUE(shows(before, Green));

        if (broken.bytes) {
            store("PC02", *broken.bytes);
        } else {
            fs::remove(app.path() / "Storage" / "PC02.jpg");
        }
        pass(window);
        EXPECT_TRUE(before.isNull()); // destroyed and built again
        ClientTile* after = window->tile("PC02");
        ASSERT_NE(after, nullptr);
        EXPECT_FALSE(after->hasPicture());
        EXPECT_TRUE(after->jpegBytes().isEmpty());
        EXPECT_EQ(after->geometry(), cell);
        EXPECT_EQ(after->hint(), QStringLiteral("2"));
        EXPECT_EQ(window->tileLabel("PC02")->text(), QStringLiteral("PC02"));
        EXPECT_EQ(window->tileNames(), (std::vector<std::string>{"PC01", "PC02", "PC03"}));
        EXPECT_TRUE(shows(window->tile("PC01"), Red));
        EXPECT_TRUE(shows(window->tile("PC03"), Blue));
    }

    // The same good file as before the failure fills the rebuilt tile again.
    store("PC02", good);
    pass(window);
    EXPECT_TRUE(shows(window->tile("PC02"), Green));
}

TEST_F(WallTest, NewPupilsTakeTheNextFreeCellsAndDepartedOnesStay) {
    addPupil("PC05", Red);
    addPupil("PC02", Green);
    TF_SnapshotClients* window = makeWindow();
    pass(window);
    EXPECT_EQ(window->tileNames(), (std::vector<std::string>{"PC02", "PC05"}));

    addPupil("PC03", Blue);
    addPupil("PC01", Blue);
    ASSERT_TRUE(registry.deleteFirstByIP(registry.findByPCName("PC05")->IP)); // PC05 left
    pass(window);
    EXPECT_EQ(window->tileNames(), (std::vector<std::string>{"PC02", "PC05", "PC01", "PC03"}));
    const int wrap = window->tilesPerRow();
    ASSERT_GE(wrap, 2);
    const std::vector<std::string> names = window->tileNames();
    for (int cell = 0; cell < static_cast<int>(names.size()); ++cell) {
        SCOPED_TRACE(names[static_cast<std::size_t>(cell)]);
        EXPECT_EQ(window->tile(names[static_cast<std::size_t>(cell)])->pos(),
                  QPoint((cell % wrap) * 200, (cell / wrap) * 170));
    }
    // The departed pupil keeps its last picture.
    EXPECT_TRUE(shows(window->tile("PC05"), Red));
}

TEST_F(WallTest, RowsWrapSoTheWholeClassIsInViewWithoutScrollingSideways) {
    for (int i = 1; i <= 23; ++i) {
        addPupil("PC" + std::to_string(100 + i), Green);
    }
    TF_SnapshotClients* window = makeWindow(); // 9 columns of 135 size it: 1245 wide
    window->show();
    pass(window);
    QScrollArea* area = window->ScrollBox1();
    const int viewport = area->viewport()->width();
    const int wrap = window->tilesPerRow();
    EXPECT_LT(wrap, window->Columns()); // the Columns the window is sized for would not fit
    EXPECT_LE((wrap - 1) * 200 + 192, viewport);
    EXPECT_GT(wrap * 200 + 192, viewport); // and no column is wasted
    const std::vector<std::string> names = window->tileNames();
    ASSERT_EQ(names.size(), 23u);
    for (int cell = 0; cell < 23; ++cell) {
        const ClientTile* tile = window->tile(names[static_cast<std::size_t>(cell)]);
        EXPECT_EQ(tile->pos(), QPoint((cell % wrap) * 200, (cell / wrap) * 170));
        EXPECT_LE(tile->geometry().right(), viewport - 1);
    }
    EXPECT_LE(area->widget()->width(), viewport);
    EXPECT_FALSE(area->horizontalScrollBar()->isVisible());
    EXPECT_TRUE(area->verticalScrollBar()->isVisible()); // 5 rows do not fit 687 px
    window->hide();
}

TEST_F(WallTest, TheTileMenuShowsItsEntries) {
    addPupil("PC01", Red);
    TF_SnapshotClients* window = makeWindow();
    pass(window);
    QMenu* menu = window->MangeClients();
    ASSERT_EQ(menu->objectName(), QStringLiteral("MangeClients"));
    const QList<QAction*> top = menu->actions();
    ASSERT_EQ(top.size(), 3);
    EXPECT_EQ(top[0]->text(), QStringLiteral("Take SnapShot (Photo)"));
    EXPECT_EQ(top[1]->text(), QStringLiteral("Lock Keyboard"));
    EXPECT_EQ(top[2]->text(), QStringLiteral("Shutdown"));
    for (QAction* sub : {top[1], top[2]}) {
        ASSERT_NE(sub->menu(), nullptr);
        const QList<QAction*> entries = sub->menu()->actions();
        ASSERT_EQ(entries.size(), 2);
        EXPECT_EQ(entries[0]->text(), QStringLiteral("From Selected Clients"));
        EXPECT_EQ(entries[1]->text(), QStringLiteral("From All Clients"));
    }
    ClientTile* tile = window->tile("PC01");
    emit tile->customContextMenuRequested(QPoint(20, 20));
    EXPECT_TRUE(menu->isVisible());
    top[0]->trigger(); // does nothing
    menu->hide();
    EXPECT_TRUE(dialogs.events.empty());
    EXPECT_FALSE(fs::exists(app.path() / "SnapShots"));
}

// ------------------------------------------------------------------ selection

TEST_F(WallTest, SelectionListRules) {
    addPupil("PC03", Red);
    addPupil("pc01", Green);
    addPupil("PC02", Blue);
    TF_SnapshotClients* window = makeWindow();
    pass(window);
    QListWidget* list = window->ListBoxSelClients();

    // A double-click adds the tile once.
    doubleClick(window->tile("PC03"));
    doubleClick(window->tile("PC03"));
    doubleClick(window->tile("pc01"));
    EXPECT_EQ(window->selectedClients(), (std::vector<std::string>{"pc01", "PC03"}));

    // Remove: the highlighted entry only; nothing highlighted, nothing removed.
    list->clearSelection();
    list->setCurrentRow(-1);
    window->Button1Click();
    EXPECT_EQ(list->count(), 2);
    list->setCurrentRow(1);
    window->Button1Click();
    EXPECT_EQ(window->selectedClients(), (std::vector<std::string>{"pc01"}));

    // Select All: every tile, in alphabetical order, each once.
    window->btn_SelectAllClick();
    EXPECT_EQ(window->selectedClients(), (std::vector<std::string>{"pc01", "PC02", "PC03"}));
    window->btn_SelectAllClick();
    EXPECT_EQ(list->count(), 3);

    window->Button2Click();
    EXPECT_EQ(list->count(), 0);
}

TEST_F(WallTest, SelectAllWithNoTilesEmptiesTheList) {
    TF_SnapshotClients* window = makeWindow();
    EXPECT_EQ(window->ListBoxSelClients()->count(), 0);
    window->ListBoxSelClients()->addItem(QStringLiteral("PC09"));
    window->btn_SelectAllClick();
    EXPECT_EQ(window->ListBoxSelClients()->count(), 0);
}

TEST_F(WallTest, HoverClientIsTheLastTileEnteredAndLeavingKeepsIt) {
    addPupil("PC03", Red);
    addPupil("PC07", Green);
    TF_SnapshotClients* window = makeWindow();
    pass(window);
    EXPECT_EQ(window->HoverClient(), "");
    pointerEnters(window->tile("PC03"));
    EXPECT_EQ(window->HoverClient(), "PC03");
    pointerLeaves(window->tile("PC03"));
    pointerEnters(window->tile("PC07"));
    pointerLeaves(window->tile("PC07"));
    EXPECT_EQ(window->HoverClient(), "PC07");

    // FillSelectedClients falls back on it only when the list is empty.
    EXPECT_TRUE(window->FillSelectedClients());
    ASSERT_EQ(window->SelClients().size(), 1u);
    EXPECT_EQ(window->SelClients()[0].Client, "PC07");
    doubleClick(window->tile("PC03"));
    EXPECT_TRUE(window->FillSelectedClients());
    ASSERT_EQ(window->SelClients().size(), 1u);
    EXPECT_EQ(window->SelClients()[0].Client, "PC03");
}

// ------------------------------------------------------------------ "Take Snapshott"

fs::path savedFile(const TempDir& app, const std::string& name) {
    return app.path() / "SnapShots" / name;
}

std::vector<std::string> savedNames(const TempDir& app) {
    std::vector<std::string> names;
    if (fs::exists(app.path() / "SnapShots")) {
        for (const auto& entry : fs::directory_iterator(app.path() / "SnapShots")) {
            names.push_back(entry.path().filename().string());
        }
    }
    std::sort(names.begin(), names.end());
    return names;
}

TEST_F(WallTest, NothingSelectedAndNothingHoveredSavesNothing) {
    addPupil("PC01", Red);
    TF_SnapshotClients* window = makeWindow();
    pass(window);
    window->JvImage1Click();
    EXPECT_EQ(dialogs.texts("message"),
              (std::vector<std::string>{"You havent selected any clients"}));
    EXPECT_FALSE(fs::exists(app.path() / "SnapShots"));
}

TEST_F(WallTest, WithAnEmptyListOnlyTheHoveredTileIsSaved) {
    addPupil("PC03", Red);
    addPupil("PC07", Green);
    const std::string pc07 = readFile(app.path() / "Storage" / "PC07.jpg");
    TF_SnapshotClients* window = makeWindow();
    pass(window);
    pointerEnters(window->tile("PC03"));
    pointerEnters(window->tile("PC07"));
    pointerLeaves(window->tile("PC07"));

    window->JvImage1Click();
    // 25 September 2007, 14:03:07: year-day-month, then hours, minutes, seconds.
    EXPECT_EQ(savedNames(app), (std::vector<std::string>{"PC07_2007-25-09_140307.jpg"}));
    EXPECT_EQ(readFile(savedFile(app, "PC07_2007-25-09_140307.jpg")), pc07);
    EXPECT_EQ(dialogs.texts("message"), (std::vector<std::string>{"Snapshots Taken !!!"}));
}

TEST_F(WallTest, SavedSnapshotsHoldTheExactBytesEachTileLoaded) {
    addPupil("PC01", Red);
    addPupil("host-2.lab", Green);
    registry.appendIfNew("PC04", "10.0.0.9"); // a tile without a picture
    TF_SnapshotClients* window = makeWindow();
    pass(window);
    const std::string pc01 = readFile(app.path() / "Storage" / "PC01.jpg");
    const std::string host2 = readFile(app.path() / "Storage" / "host-2.lab.jpg");
    // Newer files that no pass has loaded yet are not what the tiles show.
    store("PC01", flatJpeg(Blue));

    for (const char* name : {"PC01", "host-2.lab", "PC04"}) {
        doubleClick(window->tile(name));
    }
    window->ListBoxSelClients()->addItem(QStringLiteral("PC99")); // no tile: skipped
    now = QDateTime(QDate(2024, 3, 5), QTime(9, 4, 0));
    window->JvImage1Click();

    EXPECT_EQ(savedNames(app), (std::vector<std::string>{"PC01_2024-05-03_090400.jpg",
                                                         "host-2.lab_2024-05-03_090400.jpg"}));
    EXPECT_EQ(readFile(savedFile(app, "PC01_2024-05-03_090400.jpg")), pc01);
    EXPECT_EQ(readFile(savedFile(app, "host-2.lab_2024-05-03_090400.jpg")), host2);
    EXPECT_EQ(dialogs.texts("message"), (std::vector<std::string>{"Snapshots Taken !!!"}));
}

TEST_F(WallTest, ASecondSaveInTheSameSecondReplacesTheFirst) {
    addPupil("PC01", Red);
    TF_SnapshotClients* window = makeWindow();
    pass(window);
    doubleClick(window->tile("PC01"));
    window->JvImage1Click();

    const std::string newer = flatJpeg(Blue);
    store("PC01", newer);
    pass(window);
    window->JvImage1Click();
    EXPECT_EQ(savedNames(app), (std::vector<std::string>{"PC01_2007-25-09_140307.jpg"}));
    EXPECT_EQ(readFile(savedFile(app, "PC01_2007-25-09_140307.jpg")), newer);

    now = now.addSecs(1);
    window->JvImage1Click();
    EXPECT_EQ(savedNames(app), (std::vector<std::string>{"PC01_2007-25-09_140307.jpg",
                                                         "PC01_2007-25-09_140308.jpg"}));
}

TEST_F(WallTest, ASaveThatFailsIsSwallowed) {
    addPupil("PC01", Red);
    TF_SnapshotClients* window = makeWindow();
    pass(window);
    doubleClick(window->tile("PC01"));
    writeFile(app.path() / "SnapShots", "a file where the folder should be");
    window->JvImage1Click();
    EXPECT_TRUE(dialogs.events.empty());
    EXPECT_EQ(readFile(app.path() / "SnapShots"), "a file where the folder should be");
}

// ------------------------------------------------------------------ with real pupils

// Holds every disconnect handler until released: a pupil that has gone away stays in the
// server's list with its socket shut, so the next write to it fails.
class HeldDisconnects : public ConnectionHandlers {
public:
    explicit HeldDisconnects(ConnectionHandlers& inner) : m_inner(inner) {}
    ~HeldDisconnects() override { release(); }

    void TCPServerConnect(ClientChannel& c) override { m_inner.TCPServerConnect(c); }
    void TCPServerExecute(ClientChannel& c) override { m_inner.TCPServerExecute(c); }
    void TCPServerDisconnect(ClientChannel& c) override {
        if (auto* connection = dynamic_cast<Connection*>(&c)) {
            connection->close();
        }
        {
            std::unique_lock lock(m_mutex);
            ++m_held;
            m_changed.notify_all();
            m_changed.wait_for(lock, std::chrono::seconds(20), [this] { return m_released; });
        }
        m_inner.TCPServerDisconnect(c);
    }

    bool waitHeld(int count) {
        std::unique_lock lock(m_mutex);
        return m_changed.wait_for(lock, std::chrono::seconds(10), [&] { return m_held >= count; });
    }
    void release() {
        std::lock_guard lock(m_mutex);
        m_released = true;
        m_changed.notify_all();
    }

private:
    ConnectionHandlers& m_inner;
    std::mutex m_mutex;
    std::condition_variable m_changed;
    int m_held = 0;
    bool m_released = false;
};

// The server core on 127.0.0.1 storing into AppDir/Storage, with pupils on 127.0.0.x
// named by a fake resolver.
class WallWithPupilsTest : public WallTest {
protected:
    void SetUp() override {
        WallTest::SetUp();
        resolver = std::make_shared<FakeResolver>();
        hostNames = std::make_unique<HostNames>(resolver);
        handler = std::make_unique<ConnectionHandler>(
            ConnectionHandler::Deps{registry, *hostNames, state, app.dir() + "Storage/"});
        held = std::make_unique<HeldDisconnects>(*handler);
        TcpServerOptions options;
        options.address = "127.0.0.1";
        options.port = 0;
        options.writeDeadline = std::chrono::milliseconds(2000);
        server = std::make_unique<TcpServer>(*held, options);
        server->activate();
        commands = std::make_unique<CommandDispatch>(*server, *hostNames, dialogs);
        dispatch = commands.get();
    }

    void TearDown() override {
        WallTest::TearDown();
        held->release();
        server->shutdown();
    }

    // A pupil on 127.0.0.<n> called name, registered by its first snapshot.
    LoopbackPupil& join(int n, const std::string& name, QRgb colour) {
        const std::string address = "127.0.0." + std::to_string(n);
        resolver->set(address, name);
        auto& pupil =
            pupils.emplace_back(std::make_unique<LoopbackPupil>(server->localPort(), address));
        pupil->sendSnapshot(flatJpeg(colour));
        EXPECT_EQ(pupil->readLine(), std::optional<std::string>("IDLE"));
        return *pupil;
    }

    ServerState state;
    std::shared_ptr<FakeResolver> resolver;
    std::unique_ptr<HostNames> hostNames;
    std::unique_ptr<ConnectionHandler> handler;
    std::unique_ptr<HeldDisconnects> held;
    std::unique_ptr<TcpServer> server;
    std::unique_ptr<CommandDispatch> commands;
    std::vector<std::unique_ptr<LoopbackPupil>> pupils;
};

TEST_F(WallWithPupilsTest, APassAsksEveryPupilAndTheActionsReachOnlyTheSelected) {
    LoopbackPupil& pc02 = join(2, "PC02", Red);
    LoopbackPupil& pc03 = join(3, "PC03", Green);
    LoopbackPupil& pc04 = join(4, "PC04", Blue);
    TF_SnapshotClients* window = makeWindow();
    pass(window);
    for (LoopbackPupil* pupil : {&pc02, &pc03, &pc04}) {
        EXPECT_EQ(pupil->readLine(), std::optional<std::string>("GetSnapShot"));
    }
    EXPECT_TRUE(shows(window->tile("PC04"), Blue));

    doubleClick(window->tile("PC02"));
    doubleClick(window->tile("PC04"));
    window->JvImage2Click(); // Lock Keyboards
    EXPECT_EQ(pc02.readLine(), std::optional<std::string>("KeyLockON"));
    EXPECT_EQ(pc04.readLine(), std::optional<std::string>("KeyLockON"));

    window->Button2Click();
    doubleClick(window->tile("PC03"));
    window->JvImage4Click(); // Unlock Keyboards
    // PC03's next line is this one: it never got the lock.
    EXPECT_EQ(pc03.readLine(), std::optional<std::string>("KeyLockOFF"));
    EXPECT_TRUE(dialogs.events.empty());
}

struct AskingCase {
    const char* caption;
    void (TF_SnapshotClients::*click)();
    const char* question;
    const char* word;
};

TEST_F(WallWithPupilsTest, ShutdownAndRestartAskFirstAndNoSendsNothing) {
    LoopbackPupil& pc02 = join(2, "PC02", Red);
    LoopbackPupil& pc03 = join(3, "PC03", Green);
    TF_SnapshotClients* window = makeWindow();
    pass(window);
    ASSERT_EQ(pc02.readLine(), std::optional<std::string>("GetSnapShot"));
    ASSERT_EQ(pc03.readLine(), std::optional<std::string>("GetSnapShot"));
    doubleClick(window->tile("PC02"));

    const AskingCase cases[] = {
        {"Shutdown", &TF_SnapshotClients::JvImage3Click,
         "Are you sure you want to send a Shutdown Command to the selected clients ?", "ShutDown"},
        {"Restart", &TF_SnapshotClients::JvImage5Click,
         "Are you sure you want to send a Restart Command to the selected clients ?", "Restart"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.caption);
        // No: the question and nothing else; the pupil's next line is the lock sent after.
        dialogs.events.clear();
        dialogs.yesNoAnswers = {false};
        (window->*c.click)();
        ASSERT_EQ(dialogs.events.size(), 1u);
        EXPECT_EQ(dialogs.events[0].kind, "question");
        EXPECT_EQ(dialogs.events[0].text, c.question);
        window->JvImage2Click();
        EXPECT_EQ(pc02.readLine(), std::optional<std::string>("KeyLockON"));

        // Yes: the word goes to the selected pupil only.
        dialogs.yesNoAnswers = {true};
        (window->*c.click)();
        EXPECT_EQ(pc02.readLine(), std::optional<std::string>(c.word));
    }
    // PC03 was never selected: the first line it gets after the refresh is this one.
    window->Button2Click();
    doubleClick(window->tile("PC03"));
    window->JvImage4Click();
    EXPECT_EQ(pc03.readLine(), std::optional<std::string>("KeyLockOFF"));
}

TEST_F(WallWithPupilsTest, AnEmptySelectionSendsNothing) {
    LoopbackPupil& pc02 = join(2, "PC02", Red);
    TF_SnapshotClients* window = makeWindow();

    window->JvImage2Click();
    EXPECT_EQ(dialogs.texts("message"),
              (std::vector<std::string>{"You have to select at least a client"}));

    // The question comes first; Yes then meets the empty list.
    dialogs.events.clear();
    dialogs.yesNoAnswers = {true};
    window->JvImage3Click();
    ASSERT_EQ(dialogs.events.size(), 2u);
    EXPECT_EQ(dialogs.events[0].kind, "question");
    EXPECT_EQ(dialogs.events[1].text, "You have to select at least a client");

    // Nothing reached the pupil: its next line is the refresh request.
    pass(window);
    EXPECT_EQ(pc02.readLine(), std::optional<std::string>("GetSnapShot"));
}

TEST_F(WallWithPupilsTest, ASendFailureStopsTheWallUntilTheEntryIsChosenAgain) {
    LoopbackPupil& pc02 = join(2, "PC02", Red);
    join(3, "PC03", Green);
    TF_SnapshotClients* window = makeWindow();
    fadeIn(window);
    window->DoIcons()->stop();
    pass(window);
    ASSERT_EQ(pc02.readLine(), std::optional<std::string>("GetSnapShot"));

    // PC03 goes away; its connection is shut but still listed, so the next write fails.
    pupils.back().reset();
    ASSERT_TRUE(held->waitHeld(1));

    window->DoIconsTimer();
    EXPECT_FALSE(window->DoIcons()->isActive());
    const auto errors = dialogs.texts("error");
    ASSERT_EQ(errors.size(), 1u);
    EXPECT_NE(errors[0].find("PC03"), std::string::npos);
    // The others were still asked.
    EXPECT_EQ(pc02.readLine(), std::optional<std::string>("GetSnapShot"));
    settle(window);

    // "Manage Clients/Class" again: one fade-in tick restarts the refresh.
    window->DoShow()->start();
    window->DoShowTimer();
    EXPECT_TRUE(window->DoIcons()->isActive());
    window->DoIcons()->stop();
}

// ------------------------------------------------------------------ the loader

TEST(ThumbnailLoaderTest, LoadsDecodesSkipsUnchangedFilesAndReportsBadOnes) {
    TempDir dir;
    const fs::path file = dir.path() / "PC01.jpg";
    std::mutex mutex;
    std::condition_variable ready;
    std::vector<ThumbnailLoader::Result> results;
    ThumbnailLoader loader([&] {
        std::lock_guard lock(mutex);
        ready.notify_all();
    });
    auto next = [&]() -> ThumbnailLoader::Result {
        std::unique_lock lock(mutex);
        EXPECT_TRUE(ready.wait_for(lock, std::chrono::seconds(10), [&] {
            for (auto& r : loader.takeResults()) {
                results.push_back(std::move(r));
            }
            return !results.empty();
        }));
        if (results.empty()) {
            return {};
        }
        auto r = std::move(results.front());
        results.erase(results.begin());
        return r;
    };

    const std::string red = flatJpeg(Red, 1920, 1080);
    writeFile(file, red);
    loader.enqueue("PC01", file.string(), 1);
    auto loaded = next();
    EXPECT_EQ(loaded.outcome, ThumbnailLoader::Outcome::Loaded);
    EXPECT_EQ(loaded.sequence, 1u);
    EXPECT_EQ(loaded.picture.size(), QSize(192, 144));
    EXPECT_EQ(loaded.bytes.toStdString(), red);

    loader.enqueue("PC01", file.string(), 2);
    EXPECT_EQ(next().outcome, ThumbnailLoader::Outcome::Unchanged);

    writeFile(file, "garbage");
    loader.enqueue("PC01", file.string(), 3);
    EXPECT_EQ(next().outcome, ThumbnailLoader::Outcome::Failed);

    // After a failure the same good bytes are decoded again, not called unchanged.
    writeFile(file, red);
    loader.enqueue("PC01", file.string(), 4);
    EXPECT_EQ(next().outcome, ThumbnailLoader::Outcome::Loaded);

    loader.enqueue("PC02", (dir.path() / "missing.jpg").string(), 5);
    const auto missing = next();
    EXPECT_EQ(missing.name, "PC02");
    EXPECT_EQ(missing.outcome, ThumbnailLoader::Outcome::Failed);
}

} // namespace
} // namespace tavelcast
