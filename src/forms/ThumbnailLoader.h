#pragma once

#include "capture/ThumbnailDecoder.h"

#include <QByteArray>
#include <QImage>

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <thread>
#include <vector>

namespace tavelcast {

// Reads pupils' stored snapshots and decodes them into tile-sized thumbnails on a thread of
// its own, so the class wall's UI thread never waits on the disk or the JPEG decoder.
//
// The UI thread queues a load per tile; the worker reads the file, decodes it (DCT-scaled),
// and hands back the picture together with the exact bytes it was made from. A file whose
// bytes are the same as the last good load of that tile is not decoded again. When a tile is
// queued again before the worker reached it, the newer request takes the older one's place
// and only one result comes back, with the newer sequence number.
//
// resultsReady is called on the worker thread whenever results are waiting and none were
// waiting before; the owner then collects them with takeResults() on its own thread.
// The destructor stops and joins the worker.
class ThumbnailLoader {
public:
    enum class Outcome {
        Loaded,    // picture and bytes hold the new thumbnail and the file's bytes
        Unchanged, // the file holds the same bytes as the last good load of this tile
        Failed,    // missing, unreadable or not a JPEG
    };

    struct Result {
        std::string name;
        std::uint64_t sequence = 0;
        Outcome outcome = Outcome::Failed;
        QImage picture;
        QByteArray bytes;
    };

    explicit ThumbnailLoader(std::function<void()> resultsReady,
                             QSize tile = ThumbnailDecoder::kTileSize);
    ~ThumbnailLoader();

    ThumbnailLoader(const ThumbnailLoader&) = delete;
    ThumbnailLoader& operator=(const ThumbnailLoader&) = delete;

    // Queues a load of path for the tile name; its result carries sequence. A request
    // replaced by a newer one for the same name before the worker reached it gives no result.
    void enqueue(const std::string& name, const std::string& path, std::uint64_t sequence);

    // Forgets the last good load of name, so its next load is decoded even when the file
    // has not changed (used when the tile showing it has been rebuilt).
    void forget(const std::string& name);

    std::vector<Result> takeResults();

    // The thumbnail the wall shows for a JPEG: the decoder scales by 1/8 whenever that gives
    // at least 90 % of the tile in both directions (a 1920x1080 screen decodes to 240x135),
    // otherwise by the most it can while still covering that; the rest of the way is a
    // smooth resize to exactly the tile. Nothing on bad input.
    static std::optional<QImage> makeThumbnail(std::span<const std::uint8_t> jpeg, QSize tile);

    // Files larger than this are not read (no pupil sends a screen this big).
    static constexpr qint64 kMaxFileBytes = 64LL * 1024 * 1024;

private:
    struct Job {
        std::string name;
        std::string path;
        std::uint64_t sequence = 0;
    };

    void run();
    Result load(const Job& job);

    std::function<void()> m_resultsReady;
    QSize m_tile;

    std::mutex m_mutex;
    std::condition_variable m_wake;
    std::deque<Job> m_jobs;
    std::vector<Result> m_results;
    std::vector<std::string> m_forgotten;
    bool m_stopping = false;

    // Worker-thread only: the bytes of the last good load of each tile.
    std::map<std::string, QByteArray> m_lastGood;

    std::thread m_worker; // last: starts after everything it uses exists
};

} // namespace tavelcast
