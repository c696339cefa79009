#include "forms/ThumbnailLoader.h"

#include <QFile>

#include <algorithm>
#include <span>
#include <utility>

namespace tavelcast {

ThumbnailLoader::ThumbnailLoader(std::function<void()> resultsReady, QSize tile)
    : m_resultsReady(std::move(resultsReady)), m_tile(tile), m_worker([this] { run(); }) {}

std::optional<QImage> ThumbnailLoader::makeThumbnail(std::span<const std::uint8_t> jpeg,
                                                     QSize tile) {
    // Shrinking in the decoder is far cheaper than decoding at full size; allowing a few
    // per cent of stretch afterwards lets a 16:9 screen use the decoder's smallest scale for
    // a 4:3 tile.
    const QSize coverage((tile.width() * 9 + 9) / 10, (tile.height() * 9 + 9) / 10);
    const ThumbnailDecoder decoder(coverage);
    auto decoded = decoder.decode(jpeg);
    if (!decoded) {
        return std::nullopt;
    }
    if (decoded->size() == tile) {
        return decoded;
    }
    return decoded->scaled(tile, Qt::IgnoreAspectRatio, Qt::SmoothTransformation)
        .convertToFormat(QImage::Format_RGB32);
}

ThumbnailLoader::~ThumbnailLoader() {
    {
        std::lock_guard lock(m_mutex);
        m_stopping = true;
        m_jobs.clear();
    }
    m_wake.notify_all();
    m_worker.join();
}

void ThumbnailLoader::enqueue(const std::string& name, const std::string& path,
                              std::uint64_t sequence) {
    {
        std::lock_guard lock(m_mutex);
        // A newer request takes over an older one still waiting, in its place in the queue:
        // when the worker falls behind a large class, every tile still gets its turn instead
        // of the front of the alphabet being served again and again.
        const auto waiting = std::find_if(m_jobs.begin(), m_jobs.end(),
                                          [&](const Job& job) { return job.name == name; });
        if (waiting != m_jobs.end()) {
            waiting->path = path;
            waiting->sequence = sequence;
        } else {
            m_jobs.push_back(Job{name, path, sequence});
        }
    }
    m_wake.notify_one();
}

void ThumbnailLoader::forget(const std::string& name) {
    std::lock_guard lock(m_mutex);
    m_forgotten.push_back(name);
}

std::vector<ThumbnailLoader::Result> ThumbnailLoader::takeResults() {
    std::lock_guard lock(m_mutex);
    return std::exchange(m_results, {});
}

void ThumbnailLoader::run() {
    for (;;) {
        Job job;
        std::vector<std::string> forgotten;
        {
            std::unique_lock lock(m_mutex);
            m_wake.wait(lock, [this] { return m_stopping || !m_jobs.empty(); });
            if (m_stopping) {
                return;
            }
            job = std::move(m_jobs.front());
            m_jobs.pop_front();
            forgotten = std::exchange(m_forgotten, {});
        }
        for (const auto& name : forgotten) {
            m_lastGood.erase(name);
        }

        Result result = load(job);

        bool first = false;
        {
            std::lock_guard lock(m_mutex);
            if (m_stopping) {
                return;
            }
            first = m_results.empty();
            m_results.push_back(std::move(result));
        }
        if (first && m_resultsReady) {
            m_resultsReady();
        }
    }
}

ThumbnailLoader::Result ThumbnailLoader::load(const Job& job) {
    Result result;
    result.name = job.name;
    result.sequence = job.sequence;

    QFile file(QString::fromStdString(job.path));
    if (!file.open(QIODevice::ReadOnly) || file.size() > kMaxFileBytes) {
        m_lastGood.erase(job.name);
        return result; // Failed
    }
    QByteArray bytes = file.readAll();
    if (file.error() != QFileDevice::NoError) {
        m_lastGood.erase(job.name);
        return result;
    }

    if (const auto last = m_lastGood.find(job.name);
        last != m_lastGood.end() && last->second == bytes) {
        result.outcome = Outcome::Unchanged;
        return result;
    }

    const auto* data = reinterpret_cast<const std::uint8_t*>(bytes.constData());
    auto picture = makeThumbnail(std::span(data, static_cast<std::size_t>(bytes.size())), m_tile);
    if (!picture) {
        m_lastGood.erase(job.name);
        return result;
    }
    m_lastGood[job.name] = bytes; // shared, not copied
    result.outcome = Outcome::Loaded;
    result.picture = std::move(*picture);
    result.bytes = std::move(bytes);
    return result;
}

} // namespace tavelcast
