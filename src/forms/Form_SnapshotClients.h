#pragma once

#include "app/Dialogs.h"
#include "net/ClientRegistry.h"
#include "net/CommandDispatch.h"

#include <QDateTime>
#include <QRect>
#include <QSize>
#include <QWidget>

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

class QLabel;
class QListWidget;
class QMenu;
class QPushButton;
class QScrollArea;
class QTimer;

namespace tavelcast {

class ClientTile;
class SnapshotClientsHeader;
class SnapshotClientsImageButton;
class ThumbnailLoader;

// What the class wall needs from the rest of the program. Tests replace the display and
// the clock.
struct SnapshotClientsEnvironment {
    std::string AppDir;                  // ends in '/'
    ClientRegistry* registry = nullptr;  // required
    CommandDispatch* dispatch = nullptr; // null before the server runs: nothing is sent
    Dialogs* dialogs = nullptr;          // required
    // The display the window is sized from and centred on; empty means the primary screen.
    QRect display;
    std::function<QDateTime()> clock; // empty means the local clock
};

// The client management window: a wall of live thumbnails, one per pupil that has sent a
// snapshot, and a side panel to pick pupils and act on them.
//
// Opening fades the window in (DoShow); 100 ms later the first refresh pass (DoIcons) runs,
// then one every second: it brings a tile for every pupil in the registry up to date with
// the pupil's stored snapshot and asks every pupil for a new one. Snapshots are read and
// decoded on a worker thread; the UI thread only swaps finished pictures in. The close button
// fades the window out (DoHide) and closes it, which destroys it.
class TF_SnapshotClients : public QWidget {
    Q_OBJECT

public:
    // Positions on the wall.
    static constexpr int kTilePitchX = 200;
    static constexpr int kTilePitchY = 170;
    static constexpr int kLabelGap = 15;
    static constexpr int kLabelHeight = 15;
    static constexpr int kSidePanelWidth = 191;

    explicit TF_SnapshotClients(SnapshotClientsEnvironment environment, QWidget* parent = nullptr);
    ~TF_SnapshotClients() override;

    // --- handlers (public so that tests drive them without waiting on timers)
    void FormCreate();
    void DoShowTimer();
    void DoHideTimer();
    void DoIconsTimer();
    void CloseButtonClick();
    void btn_SelectAllClick();
    void Button1Click(); // "Remove"
    void Button2Click(); // "Clear All"
    void TileDblClick(ClientTile* tile);
    void TileMouseEnter(ClientTile* tile);
    void TileMouseLeave(ClientTile* tile);
    void JvImage1Click(); // "Take Snapshott"
    void JvImage2Click(); // "Lock Keyboards"
    void JvImage4Click(); // "Unlock Keyboards"
    void JvImage3Click(); // "Shutdown"
    void JvImage5Click(); // "Restart"

    // Rebuilds SelClients from the selection list, or from HoverClient when the list is
    // empty. True when it produced a row.
    bool FillSelectedClients();

    // The window's size for a display, and the number of columns it is sized for.
    static int columnsFor(int displayWidth);
    static QSize windowSizeFor(QSize display);

    // --- state, for the host and for tests
    int Columns() const { return m_columns; }
    const std::string& HoverClient() const { return m_hoverClient; }
    struct SelClientsRow {
        std::string Client;
    };
    const std::vector<SelClientsRow>& SelClients() const { return m_selClients; }
    std::vector<std::string> selectedClients() const; // the list's entries, in list order

    QTimer* DoShow() const { return m_doShow; }
    QTimer* DoHide() const { return m_doHide; }
    QTimer* DoIcons() const { return m_doIcons; }
    bool alphaBlend() const { return m_alphaBlend; }
    // True once the fade-out has closed the window (it is destroyed on the next turn of the
    // event loop).
    bool closed() const { return m_closed; }
    std::uint8_t alphaBlendValue() const { return m_alphaBlendValue; }

    ClientTile* tile(const std::string& hostName) const;
    QLabel* tileLabel(const std::string& hostName) const;
    std::vector<std::string> tileNames() const; // in grid order
    int tilesPerRow() const { return m_wrap; }
    QScrollArea* ScrollBox1() const { return m_scrollBox1; }
    QListWidget* ListBoxSelClients() const { return m_listBoxSelClients; }
    QMenu* MangeClients() const { return m_mangeClients; }

    // True when every thumbnail load queued so far has been swapped in.
    bool thumbnailsSettled() const { return m_loadsWaiting.empty(); }

protected:
    void resizeEvent(QResizeEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    struct TileEntry {
        ClientTile* tile = nullptr;
        QLabel* label = nullptr;
        int cell = 0;
        int aa = 0;
    };

    void buildControls();
    void buildSidePanel(QWidget* panel);
    void addActionButton(QWidget* panel, const char* objectName, const char* image,
                         const char* caption, int y, void (TF_SnapshotClients::*handler)());
    void layoutControls();
    void layoutTiles();
    void placeTile(const TileEntry& entry) const;
    TileEntry& createTile(const std::string& name, int aa, int cell);
    void destroyTile(TileEntry& entry);
    void queueLoad(const std::string& name);
    void applyThumbnails();
    void applyOpacity();
    void addSelection(const QString& name);
    void sendToSelected(std::string_view word);
    template <typename Handler> void guarded(Handler&& handler);

    SnapshotClientsEnvironment m_env;
    QRect m_display;
    int m_columns = 0;
    int m_wrap = 1;
    std::string m_hoverClient;
    std::vector<SelClientsRow> m_selClients;

    bool m_alphaBlend = false;
    bool m_closed = false;
    std::uint8_t m_alphaBlendValue = 255;

    QTimer* m_doShow = nullptr;
    QTimer* m_doHide = nullptr;
    QTimer* m_doIcons = nullptr;

    SnapshotClientsHeader* m_header = nullptr;
    QLabel* m_logo = nullptr;
    QLabel* m_title = nullptr;
    SnapshotClientsImageButton* m_closeButton = nullptr;
    QScrollArea* m_scrollBox1 = nullptr;
    QWidget* m_wall = nullptr;
    QWidget* m_sidePanel = nullptr;
    QListWidget* m_listBoxSelClients = nullptr;
    QMenu* m_mangeClients = nullptr;

    std::map<std::string, TileEntry> m_tiles; // keyed by host name
    std::vector<std::string> m_cells;         // host names in grid order, no gaps

    std::unique_ptr<ThumbnailLoader> m_loader;
    std::uint64_t m_lastQueuedLoad = 0;
    std::map<std::string, std::uint64_t> m_loadsWaiting; // name -> its latest load's sequence
};

} // namespace tavelcast
