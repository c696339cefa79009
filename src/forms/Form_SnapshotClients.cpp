#include "forms/Form_SnapshotClients.h"

#include "app/AtomicFile.h"
#include "forms/ClientTile.h"
#include "forms/SnapshotClientsHeader.h"
#include "forms/SnapshotClientsImageButton.h"
#include "forms/ThumbnailLoader.h"
#include "forms/UiGuard.h"
#include "net/NameResolver.h"
#include "net/ProtocolWords.h"

#include <QCollator>
#include <QEvent>
#include <QGuiApplication>
#include <QLabel>
#include <QListWidget>
#include <QMenu>
#include <QPainter>
#include <QPushButton>
#include <QResizeEvent>
#include <QScreen>
#include <QScrollArea>
#include <QScrollBar>
#include <QSvgRenderer>
#include <QTimer>

#include <algorithm>
#include <filesystem>
#include <span>
#include <utility>

// Resources live in the static ui library; they must be registered by name.
static void initSnapshotClientsResources() {
    Q_INIT_RESOURCE(tavelcast);
}

namespace tavelcast {

namespace {

const QColor kPanelColour(49, 49, 51);
const QColor kWallColour(116, 116, 120);

void fillWith(QWidget* widget, const QColor& colour) {
    QPalette palette = widget->palette();
    palette.setColor(QPalette::Window, colour);
    widget->setPalette(palette);
    widget->setAutoFillBackground(true);
}

QLabel* whiteLabel(const QString& text, QWidget* parent, bool bold) {
    auto* label = new QLabel(text, parent);
    QPalette palette = label->palette();
    palette.setColor(QPalette::WindowText, Qt::white);
    label->setPalette(palette);
    if (bold) {
        QFont font = label->font();
        font.setBold(true);
        label->setFont(font);
    }
    return label;
}

QRect primaryDisplay() {
    if (const QScreen* screen = QGuiApplication::primaryScreen(); screen != nullptr) {
        return screen->geometry();
    }
    return QRect(0, 0, 1024, 768);
}

} // namespace

TF_SnapshotClients::TF_SnapshotClients(SnapshotClientsEnvironment environment, QWidget* parent)
    : QWidget(parent, Qt::Window | Qt::FramelessWindowHint), m_env(std::move(environment)) {
    initSnapshotClientsResources();
    setObjectName(QStringLiteral("SnapshotClients"));
    setAttribute(Qt::WA_DeleteOnClose);
    if (!m_env.clock) {
        m_env.clock = [] { return QDateTime::currentDateTime(); };
    }
    m_display = m_env.display.isEmpty() ? primaryDisplay() : m_env.display;

    m_loader = std::make_unique<ThumbnailLoader>([this] {
        // On the worker thread: have the UI thread collect what is ready.
        QMetaObject::invokeMethod(
            this, [this] { applyThumbnails(); }, Qt::QueuedConnection);
    });

    buildControls();
    guarded([this] { FormCreate(); });
}

TF_SnapshotClients::~TF_SnapshotClients() {
    // The worker goes first: nothing it posts may outlive the tiles it is meant for.
    m_loader.reset();
}

template <typename Handler> void TF_SnapshotClients::guarded(Handler&& handler) {
    runGuarded(*m_env.dialogs, std::forward<Handler>(handler));
}

int TF_SnapshotClients::columnsFor(int displayWidth) {
    return (displayWidth - 100) / 135;
}

QSize TF_SnapshotClients::windowSizeFor(QSize display) {
    return QSize(columnsFor(display.width()) * 135 + 30, display.height() - 100);
}

// ---------------------------------------------------------------- building the window

void TF_SnapshotClients::buildControls() {
    QPalette palette = this->palette();
    palette.setColor(QPalette::Window, Qt::black);
    setPalette(palette);
    setAutoFillBackground(true);
    setFont(QFont(QStringLiteral("Tahoma"), 8));

    m_doShow = new QTimer(this);
    m_doShow->setObjectName(QStringLiteral("DoShow"));
    m_doShow->setInterval(1);
    m_doShow->setTimerType(Qt::PreciseTimer);
    connect(m_doShow, &QTimer::timeout, this, [this] { guarded([this] { DoShowTimer(); }); });

    m_doHide = new QTimer(this);
    m_doHide->setObjectName(QStringLiteral("DoHide"));
    m_doHide->setInterval(10);
    m_doHide->setTimerType(Qt::PreciseTimer);
    connect(m_doHide, &QTimer::timeout, this, [this] { guarded([this] { DoHideTimer(); }); });

    m_doIcons = new QTimer(this);
    m_doIcons->setObjectName(QStringLiteral("DoIcons"));
    m_doIcons->setInterval(100);
    connect(m_doIcons, &QTimer::timeout, this, [this] { guarded([this] { DoIconsTimer(); }); });

    // Header: logo, title, close button; dragging it moves the window.
    m_header = new SnapshotClientsHeader(this);
    m_header->setObjectName(QStringLiteral("Panel1"));
    fillWith(m_header, kPanelColour);

    m_logo = new QLabel(m_header);
    m_logo->setObjectName(QStringLiteral("Logo"));
    m_logo->setAttribute(Qt::WA_TransparentForMouseEvents);
    {
        const qreal ratio = devicePixelRatioF();
        QPixmap logo(QSize(105, 105) * ratio);
        logo.setDevicePixelRatio(ratio);
        logo.fill(Qt::transparent);
        QSvgRenderer renderer(QStringLiteral(":/images/wall-logo.svg"));
        QPainter painter(&logo);
        renderer.render(&painter, QRectF(0, 0, 105, 105));
        painter.end();
        m_logo->setPixmap(logo);
    }

    m_title = whiteLabel(QString(), m_header, false);
    m_title->setObjectName(QStringLiteral("LabelTitle"));
    m_title->setFont(QFont(QStringLiteral("Tahoma"), 14));
    m_title->setAttribute(Qt::WA_TransparentForMouseEvents);

    m_closeButton = new SnapshotClientsImageButton(QStringLiteral(":/images/wall-close.svg"),
                                                   QStringLiteral(":/images/wall-close-hover.svg"),
                                                   QSize(64, 63), m_header);
    m_closeButton->setObjectName(QStringLiteral("CloseButton"));
    m_closeButton->setToolTip(QStringLiteral("Close Form"));
    m_closeButton->installEventFilter(this);
    connect(m_closeButton, &QAbstractButton::clicked, this,
            [this] { guarded([this] { CloseButtonClick(); }); });

    // The wall.
    m_scrollBox1 = new QScrollArea(this);
    m_scrollBox1->setObjectName(QStringLiteral("ScrollBox1"));
    m_scrollBox1->setFrameShape(QFrame::NoFrame);
    m_scrollBox1->setWidgetResizable(false);
    m_scrollBox1->setHorizontalScrollBarPolicy(Qt::ScrollBarAsNeeded);
    fillWith(m_scrollBox1->viewport(), kWallColour);
    m_wall = new QWidget;
    m_wall->setObjectName(QStringLiteral("ScrollBox1Wall"));
    fillWith(m_wall, kWallColour);
    m_scrollBox1->setWidget(m_wall); // takes ownership
    m_scrollBox1->viewport()->installEventFilter(this);

    m_mangeClients = new QMenu(this);
    m_mangeClients->setObjectName(QStringLiteral("MangeClients"));
    m_mangeClients->addAction(QStringLiteral("Take SnapShot (Photo)"));
    QMenu* lock = m_mangeClients->addMenu(QStringLiteral("Lock Keyboard"));
    lock->addAction(QStringLiteral("From Selected Clients"));
    lock->addAction(QStringLiteral("From All Clients"));
    QMenu* shutdown = m_mangeClients->addMenu(QStringLiteral("Shutdown"));
    shutdown->addAction(QStringLiteral("From Selected Clients"));
    shutdown->addAction(QStringLiteral("From All Clients"));

    m_sidePanel = new QWidget(this);
    m_sidePanel->setObjectName(QStringLiteral("Panel2"));
    fillWith(m_sidePanel, kPanelColour);
    buildSidePanel(m_sidePanel);
}

void TF_SnapshotClients::buildSidePanel(QWidget* panel) {
    QLabel* selected = whiteLabel(QStringLiteral("Selected Clients"), panel, true);
    selected->setObjectName(QStringLiteral("Label1"));
    selected->move(8, 8);
    selected->adjustSize();

    m_listBoxSelClients = new QListWidget(panel);
    m_listBoxSelClients->setObjectName(QStringLiteral("ListBoxSelClients"));
    m_listBoxSelClients->setGeometry(5, 24, 180, 145);
    {
        QPalette palette = m_listBoxSelClients->palette();
        palette.setColor(QPalette::Base, kWallColour);
        palette.setColor(QPalette::Text, Qt::white);
        m_listBoxSelClients->setPalette(palette);
        QFont font = m_listBoxSelClients->font();
        font.setBold(true);
        m_listBoxSelClients->setFont(font);
    }

    auto* selectAll = new QPushButton(QStringLiteral("Select All"), panel);
    selectAll->setObjectName(QStringLiteral("btn_SelectAll"));
    selectAll->setGeometry(5, 175, 70, 25);
    connect(selectAll, &QPushButton::clicked, this,
            [this] { guarded([this] { btn_SelectAllClick(); }); });

    auto* remove = new QPushButton(QStringLiteral("Remove"), panel);
    remove->setObjectName(QStringLiteral("Button1"));
    remove->setGeometry(81, 175, 49, 25);
    connect(remove, &QPushButton::clicked, this, [this] { guarded([this] { Button1Click(); }); });

    auto* clearAll = new QPushButton(QStringLiteral("Clear All"), panel);
    clearAll->setObjectName(QStringLiteral("Button2"));
    clearAll->setGeometry(136, 175, 49, 25);
    connect(clearAll, &QPushButton::clicked, this, [this] { guarded([this] { Button2Click(); }); });

    QLabel* actions = whiteLabel(QStringLiteral("Actions for Selected Clients"), panel, true);
    actions->setObjectName(QStringLiteral("Label2"));
    actions->move(8, 216);
    actions->adjustSize();

    addActionButton(panel, "JvImage1", ":/images/wall-action-snapshot.svg", "Take Snapshott", 238,
                    &TF_SnapshotClients::JvImage1Click);
    addActionButton(panel, "JvImage2", ":/images/wall-action-lock.svg", "Lock Keyboards", 280,
                    &TF_SnapshotClients::JvImage2Click);
    addActionButton(panel, "JvImage4", ":/images/wall-action-unlock.svg", "Unlock Keyboards", 320,
                    &TF_SnapshotClients::JvImage4Click);
    addActionButton(panel, "JvImage3", ":/images/wall-action-shutdown.svg", "Shutdown", 358,
                    &TF_SnapshotClients::JvImage3Click);
    addActionButton(panel, "JvImage5", ":/images/wall-action-restart.svg", "Restart", 398,
                    &TF_SnapshotClients::JvImage5Click);
}

void TF_SnapshotClients::addActionButton(QWidget* panel, const char* objectName, const char* image,
                                         const char* caption, int y,
                                         void (TF_SnapshotClients::*handler)()) {
    auto* button = new SnapshotClientsImageButton(QString::fromLatin1(image), QString(),
                                                  QSize(177, 32), panel);
    button->setObjectName(QString::fromLatin1(objectName));
    button->move(8, y);
    connect(button, &QAbstractButton::clicked, this,
            [this, handler] { guarded([this, handler] { (this->*handler)(); }); });

    // The caption lies on the picture; clicks go through it to the picture.
    QLabel* label = whiteLabel(QString::fromLatin1(caption), panel, true);
    label->setObjectName(QString::fromLatin1(objectName) + QStringLiteral("Caption"));
    label->setAttribute(Qt::WA_TransparentForMouseEvents);
    label->setAlignment(Qt::AlignLeft | Qt::AlignVCenter);
    label->setGeometry(62, y, 177 - 54, 32);
    label->raise();
}

void TF_SnapshotClients::layoutControls() {
    const int w = width();
    const int h = height();
    m_header->setGeometry(8, 8, w - 16, 91);
    m_logo->setGeometry(8, (91 - 105) / 2, 105, 105);
    m_title->move(122, 37);
    m_title->adjustSize();
    m_closeButton->move(m_header->width() - 64 - 14, (91 - 63) / 2);
    m_scrollBox1->setGeometry(8, 105, w - 8 - 205, h - 105 - 8);
    m_sidePanel->setGeometry(w - 8 - kSidePanelWidth, 105, kSidePanelWidth, h - 105 - 8);
    layoutTiles();
}

void TF_SnapshotClients::resizeEvent(QResizeEvent* event) {
    QWidget::resizeEvent(event);
    layoutControls();
}

bool TF_SnapshotClients::eventFilter(QObject* watched, QEvent* event) {
    // Hints are kept (the tiles' hold the registry's AA) but never shown.
    if (event->type() == QEvent::ToolTip) {
        return true;
    }
    if (watched == m_scrollBox1->viewport() && event->type() == QEvent::Resize) {
        layoutTiles();
    }
    return QWidget::eventFilter(watched, event);
}

// ---------------------------------------------------------------- creation and fading

void TF_SnapshotClients::FormCreate() {
    m_columns = columnsFor(m_display.width());
    const QSize size = windowSizeFor(m_display.size());
    resize(size);
    layoutControls(); // a hidden window gets its resize event only when shown
    move(m_display.x() + (m_display.width() - size.width()) / 2,
         m_display.y() + (m_display.height() - size.height()) / 2);
    m_selClients.clear();
    m_title->setText(QStringLiteral("Client Snapshot"));
    m_title->adjustSize();
    btn_SelectAllClick();
}

void TF_SnapshotClients::applyOpacity() {
    setWindowOpacity(m_alphaBlend ? m_alphaBlendValue / 255.0 : 1.0);
}

void TF_SnapshotClients::DoShowTimer() {
    if (!m_alphaBlend) {
        m_alphaBlendValue = 0;
        m_alphaBlend = true;
        applyOpacity();
        show();
    }
    m_alphaBlendValue = static_cast<std::uint8_t>(m_alphaBlendValue + 5); // 255 + 5 gives 4
    applyOpacity();
    if (m_alphaBlendValue >= 250) {
        m_doShow->stop();
        m_doIcons->start();
    }
}

void TF_SnapshotClients::DoHideTimer() {
    m_alphaBlend = true;
    m_alphaBlendValue = static_cast<std::uint8_t>(m_alphaBlendValue - 5);
    applyOpacity();
    if (m_alphaBlendValue < 10) {
        m_doHide->stop();
        hide();
        m_alphaBlend = false;
        applyOpacity();
        m_closed = true;
        m_doIcons->stop();
        m_doShow->stop();
        close(); // destroys the window
    }
}

void TF_SnapshotClients::CloseButtonClick() {
    m_doHide->start();
}

// ---------------------------------------------------------------- the refresh pass

void TF_SnapshotClients::DoIconsTimer() {
    m_doIcons->stop();

    m_env.registry->sortByPCName();
    std::vector<MemDataRow> rows;
    m_env.registry->walk([&rows](const MemDataRow& row) { rows.push_back(row); });

    bool added = false;
    for (const MemDataRow& row : rows) {
        const std::string& name = row.PCName;
        if (!isSafeHostName(name)) {
            continue; // never part of a path
        }
        if (auto found = m_tiles.find(name); found != m_tiles.end()) {
            found->second.aa = row.AA;
            found->second.tile->setHint(row.AA);
        } else {
            // The next free cell of the grid: new pupils join at the end, in sorted order.
            createTile(name, row.AA, static_cast<int>(m_cells.size()));
            m_cells.push_back(name);
            added = true;
        }
        queueLoad(name);
    }
    if (added) {
        layoutTiles();
    }

    if (m_env.dispatch != nullptr) {
        const CommandDispatch::Report report = m_env.dispatch->GetSnapShots();
        if (!report.failures.empty()) {
            return; // the wall stops until "Manage Clients/Class" starts it again
        }
    }
    m_doIcons->setInterval(1000);
    m_doIcons->start();
}

void TF_SnapshotClients::queueLoad(const std::string& name) {
    m_loadsWaiting[name] = ++m_lastQueuedLoad;
    m_loader->enqueue(name, m_env.AppDir + "Storage/" + name + ".jpg", m_lastQueuedLoad);
}

void TF_SnapshotClients::applyThumbnails() {
    for (ThumbnailLoader::Result& result : m_loader->takeResults()) {
        if (const auto waiting = m_loadsWaiting.find(result.name);
            waiting != m_loadsWaiting.end() && waiting->second == result.sequence) {
            m_loadsWaiting.erase(waiting);
        }
        auto found = m_tiles.find(result.name);
        if (found == m_tiles.end()) {
            continue;
        }
        TileEntry& entry = found->second;
        switch (result.outcome) {
        case ThumbnailLoader::Outcome::Loaded:
            entry.tile->setPicture(std::move(result.picture), std::move(result.bytes));
            break;
        case ThumbnailLoader::Outcome::Unchanged:
            break;
        case ThumbnailLoader::Outcome::Failed:
            // A tile whose picture can no longer be loaded is built again, blank, in its own
            // cell; a blank tile stays as it is until a later load succeeds.
            if (entry.tile->hasPicture()) {
                const int cell = entry.cell;
                const int aa = entry.aa;
                destroyTile(entry);
                m_tiles.erase(found);
                m_loader->forget(result.name);
                placeTile(createTile(result.name, aa, cell));
            }
            break;
        }
    }
}

TF_SnapshotClients::TileEntry& TF_SnapshotClients::createTile(const std::string& name, int aa,
                                                              int cell) {
    TileEntry entry;
    entry.cell = cell;
    entry.aa = aa;

    entry.label = new QLabel(QString::fromStdString(name), m_wall);
    entry.label->setObjectName(QStringLiteral("lbl") + QString::fromStdString(name));
    {
        QPalette palette = entry.label->palette();
        palette.setColor(QPalette::WindowText, Qt::white);
        entry.label->setPalette(palette);
    }
    entry.label->setAlignment(Qt::AlignHCenter | Qt::AlignTop);
    entry.label->resize(ClientTile::kWidth, kLabelHeight);
    entry.label->lower(); // a label's box reaches into the next row; tiles stay on top

    entry.tile = new ClientTile(name, m_wall);
    entry.tile->setHint(aa);
    entry.tile->installEventFilter(this);
    connect(entry.tile, &ClientTile::doubleClicked, this,
            [this](ClientTile* t) { guarded([this, t] { TileDblClick(t); }); });
    connect(entry.tile, &ClientTile::entered, this,
            [this](ClientTile* t) { guarded([this, t] { TileMouseEnter(t); }); });
    connect(entry.tile, &ClientTile::left, this,
            [this](ClientTile* t) { guarded([this, t] { TileMouseLeave(t); }); });
    connect(
        entry.tile, &QWidget::customContextMenuRequested, this,
        [this, t = entry.tile](const QPoint& at) { m_mangeClients->popup(t->mapToGlobal(at)); });

    auto [where, inserted] = m_tiles.insert_or_assign(name, entry);
    (void)inserted;
    entry.tile->show();
    entry.label->show();
    return where->second;
}

void TF_SnapshotClients::destroyTile(TileEntry& entry) {
    delete entry.tile;
    delete entry.label;
    entry.tile = nullptr;
    entry.label = nullptr;
}

void TF_SnapshotClients::placeTile(const TileEntry& entry) const {
    const int x = (entry.cell % m_wrap) * kTilePitchX;
    const int y = (entry.cell / m_wrap) * kTilePitchY;
    entry.tile->move(x, y);
    entry.label->move(x, y + ClientTile::kHeight + kLabelGap);
}

void TF_SnapshotClients::layoutTiles() {
    if (m_scrollBox1 == nullptr) {
        return;
    }
    // Rows wrap to the scroll area's width, with room kept for a vertical scroll bar, so
    // the whole class is in view without scrolling sideways and the layout does not change
    // when the scroll bar comes and goes.
    const int frame = 2 * m_scrollBox1->frameWidth();
    const int usable =
        m_scrollBox1->width() - frame - m_scrollBox1->verticalScrollBar()->sizeHint().width();
    m_wrap = std::max(1, (usable + kTilePitchX - ClientTile::kWidth) / kTilePitchX);

    for (const std::string& name : m_cells) {
        placeTile(m_tiles.at(name));
    }
    const int count = static_cast<int>(m_cells.size());
    const int rows = (count + m_wrap - 1) / m_wrap;
    const int columnsUsed = std::min(count, m_wrap);
    const int contentWidth = columnsUsed * kTilePitchX - (kTilePitchX - ClientTile::kWidth);
    const int contentHeight =
        rows == 0 ? 0 : (rows - 1) * kTilePitchY + ClientTile::kHeight + kLabelGap + kLabelHeight;
    const QSize viewport = m_scrollBox1->maximumViewportSize();
    m_wall->resize(
        std::max(contentWidth,
                 viewport.width() - m_scrollBox1->verticalScrollBar()->sizeHint().width()),
        std::max(contentHeight, 1));
}

ClientTile* TF_SnapshotClients::tile(const std::string& hostName) const {
    const auto found = m_tiles.find(hostName);
    return found == m_tiles.end() ? nullptr : found->second.tile;
}

QLabel* TF_SnapshotClients::tileLabel(const std::string& hostName) const {
    const auto found = m_tiles.find(hostName);
    return found == m_tiles.end() ? nullptr : found->second.label;
}

std::vector<std::string> TF_SnapshotClients::tileNames() const {
    return m_cells;
}

// ---------------------------------------------------------------- selection

void TF_SnapshotClients::addSelection(const QString& name) {
    // Kept in alphabetical order, ignoring case, as a sorted list box keeps its entries.
    QCollator collator;
    collator.setCaseSensitivity(Qt::CaseInsensitive);
    int at = 0;
    while (at < m_listBoxSelClients->count() &&
           collator.compare(m_listBoxSelClients->item(at)->text(), name) <= 0) {
        ++at;
    }
    m_listBoxSelClients->insertItem(at, name);
}

std::vector<std::string> TF_SnapshotClients::selectedClients() const {
    std::vector<std::string> names;
    names.reserve(static_cast<std::size_t>(m_listBoxSelClients->count()));
    for (int i = 0; i < m_listBoxSelClients->count(); ++i) {
        names.push_back(m_listBoxSelClients->item(i)->text().toStdString());
    }
    return names;
}

void TF_SnapshotClients::btn_SelectAllClick() {
    m_listBoxSelClients->clear();
    for (const std::string& name : m_cells) {
        addSelection(QString::fromStdString(name));
    }
}

void TF_SnapshotClients::Button1Click() {
    QListWidgetItem* item = m_listBoxSelClients->currentItem();
    if (item != nullptr && item->isSelected()) {
        delete m_listBoxSelClients->takeItem(m_listBoxSelClients->row(item));
    }
}

void TF_SnapshotClients::Button2Click() {
    m_listBoxSelClients->clear();
}

void TF_SnapshotClients::TileDblClick(ClientTile* tile) {
    const QString name = QString::fromStdString(tile->hostName());
    for (int i = 0; i < m_listBoxSelClients->count(); ++i) {
        if (m_listBoxSelClients->item(i)->text() == name) {
            return;
        }
    }
    addSelection(name);
}

void TF_SnapshotClients::TileMouseEnter(ClientTile* tile) {
    m_hoverClient = tile->hostName();
}

void TF_SnapshotClients::TileMouseLeave(ClientTile*) {
    // HoverClient keeps the last tile entered.
}

// ---------------------------------------------------------------- actions

bool TF_SnapshotClients::FillSelectedClients() {
    m_selClients.clear();
    for (std::string& name : selectedClients()) {
        m_selClients.push_back(SelClientsRow{std::move(name)});
    }
    if (m_selClients.empty() && !m_hoverClient.empty()) {
        m_selClients.push_back(SelClientsRow{m_hoverClient});
    }
    return !m_selClients.empty();
}

void TF_SnapshotClients::JvImage1Click() {
    if (!FillSelectedClients()) {
        m_env.dialogs->showMessage("You havent selected any clients");
        return;
    }
    try {
        const std::string folder = m_env.AppDir + "SnapShots";
        if (!std::filesystem::is_directory(folder)) {
            std::filesystem::create_directory(folder);
        }
        for (const SelClientsRow& row : m_selClients) {
            const ClientTile* found = tile(row.Client);
            if (found == nullptr || !found->hasPicture() || !isSafeHostName(row.Client)) {
                continue; // no picture, no file
            }
            const QDateTime now = m_env.clock();
            const std::string path = folder + "/" + row.Client + "_" +
                                     now.toString(QStringLiteral("yyyy-dd-MM")).toStdString() +
                                     "_" + now.toString(QStringLiteral("HHmmss")).toStdString() +
                                     ".jpg";
            const QByteArray& bytes = found->jpegBytes();
            writeFileAtomically(path, std::span(reinterpret_cast<const std::uint8_t*>(bytes.data()),
                                                static_cast<std::size_t>(bytes.size())));
        }
    } catch (...) {
        // Saving is best effort: the remaining pupils are skipped and nothing is said.
        return;
    }
    m_env.dialogs->showMessage("Snapshots Taken !!!");
}

void TF_SnapshotClients::sendToSelected(std::string_view word) {
    if (m_env.dispatch != nullptr) {
        m_env.dispatch->SendToSelectedClients(selectedClients(), word);
    } else if (m_listBoxSelClients->count() == 0) {
        m_env.dialogs->showMessage("You have to select at least a client");
    }
}

void TF_SnapshotClients::JvImage2Click() {
    sendToSelected(words::KeyLockON);
}

void TF_SnapshotClients::JvImage4Click() {
    sendToSelected(words::KeyLockOFF);
}

void TF_SnapshotClients::JvImage3Click() {
    if (m_env.dialogs->askYesNo(
            "Are you sure you want to send a Shutdown Command to the selected clients ?")) {
        sendToSelected(words::ShutDown);
    }
}

void TF_SnapshotClients::JvImage5Click() {
    if (m_env.dialogs->askYesNo(
            "Are you sure you want to send a Restart Command to the selected clients ?")) {
        sendToSelected(words::Restart);
    }
}

} // namespace tavelcast
