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
// queued again before the worker reached it, the older request is dropped: only the latest
// file matters.
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

    // Queues a load of path for the tile name. Sequence numbers must grow with every call;
    // results come back in sequence order.
    void enqueue(const std::string& name, const std::string& path, std::uint64_t sequence);

    // Forgets the last good load of name, so its next load is decoded even when the file
    // has not changed (used when the tile showing it has been rebuilt).
    void forget(const std::string& name);

    std::vector<Result> takeResults();

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
    ThumbnailDecoder m_decoder;

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
