// Class-wall figures: the UI thread's cost of a refresh pass, thumbnail decoding with DCT
// scaling against a full decode and resize, and the teacher process's memory with a full wall.
//
//   wall_bench [--pupils N] [--cycles N]      the pass and decode figures, then the memory
//                                             figures (each in a fresh process)
//   wall_bench --rss N                        the memory figures for N pupils only
//
// Runs on Qt's offscreen platform unless QT_QPA_PLATFORM says otherwise. The pupils live in a
// child process on 127.0.0.x loopback addresses and answer every "GetSnapShot" with a
// 1920x1080 quality-90 JPEG of a desktop, alternating between two pictures so that every
// pass brings every tile a new picture to decode.

#include "capture/Bitmap.h"
#include "capture/EncodeJpeg.h"
#include "capture/ThumbnailDecoder.h"
#include "forms/ClientTile.h"
#include "forms/Form_SnapshotClients.h"
#include "forms/ThumbnailLoader.h"
#include "net/ClientRegistry.h"
#include "net/CommandDispatch.h"
#include "net/ConnectionHandler.h"
#include "net/NameResolver.h"
#include "net/ServerState.h"
#include "net/TcpServer.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QImage>
#include <QTimer>
#include <turbojpeg.h>

#include <algorithm>
#include <arpa/inet.h>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <netinet/in.h>
#include <optional>
#include <poll.h>
#include <random>
#include <span>
#include <string>
#include <sys/socket.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;
using tavelcast::Bitmap;

double msSince(Clock::time_point start) {
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

double percentile(std::vector<double> values, double p) {
    if (values.empty()) {
        return 0;
    }
    std::sort(values.begin(), values.end());
    const auto index = static_cast<std::size_t>(p * static_cast<double>(values.size() - 1) + 0.5);
    return values[std::min(index, values.size() - 1)];
}

// A desktop: a gradient wallpaper, a task bar and a few windows full of lines of "text", so
// the JPEG is as large and as busy as a real screen's (a flat picture would flatter the decoder).
std::string desktopJpeg(int variant) {
    Bitmap bitmap;
    bitmap.reset(1920, 1080);
    std::mt19937 random(1234u + static_cast<unsigned>(variant));
    auto put = [&](int x, int y, int r, int g, int b) {
        std::uint8_t* p = bitmap.pixel(x, y);
        p[0] = static_cast<std::uint8_t>(b);
        p[1] = static_cast<std::uint8_t>(g);
        p[2] = static_cast<std::uint8_t>(r);
    };
    for (int y = 0; y < 1080; ++y) {
        for (int x = 0; x < 1920; ++x) {
            put(x, y, 30 + x * 60 / 1920, 70 + y * 80 / 1080, 140 + (x + y) * 60 / 3000);
        }
    }
    for (int y = 1040; y < 1080; ++y) {
        for (int x = 0; x < 1920; ++x) {
            put(x, y, 40, 40, 46);
        }
    }
    const int shift = variant * 37;
    for (int w = 0; w < 4; ++w) {
        const int left = 60 + w * 430 + shift % 90;
        const int top = 50 + (w % 2) * 420 + shift % 40;
        const int right = std::min(1900, left + 760);
        const int bottom = std::min(1020, top + 520);
        for (int y = top; y < bottom; ++y) {
            for (int x = left; x < right; ++x) {
                if (y < top + 28) {
                    put(x, y, 60, 90, 160);
                } else {
                    put(x, y, 250, 250, 250);
                }
            }
        }
        if (w % 2 == 1) {
            // A form: flat fields and buttons.
            for (int row = top + 50; row + 30 < bottom; row += 48) {
                for (int y = row; y < row + 26; ++y) {
                    for (int x = left + 20; x < right - 20; ++x) {
                        const bool edge = y == row || y == row + 25 || x == left + 20;
                        put(x, y, edge ? 150 : 236, edge ? 150 : 238, edge ? 160 : 242);
                    }
                }
            }
            continue;
        }
        // Lines of words: runs of glyph-like strokes with gaps, 18 px apart, ragged right.
        for (int line = top + 40; line + 10 < bottom; line += 18) {
            const int lineEnd = right - 20 - static_cast<int>(random() % 300);
            int x = left + 12;
            while (x < lineEnd) {
                const int letters = 2 + static_cast<int>(random() % 8);
                for (int l = 0; l < letters && x + 7 < lineEnd; ++l) {
                    const unsigned glyph = random();
                    for (int dy = 0; dy < 9; ++dy) {
                        for (int dx = 0; dx < 6; ++dx) {
                            const bool stem = dx == 0 || dx == 4;
                            const bool bar = dy == 0 || dy == 4 || dy == 8;
                            const bool on = (stem && (glyph >> (dy % 4)) & 1u) ||
                                            (bar && (glyph >> (4 + dx % 3)) & 1u);
                            if (on) {
                                put(x + dx, line + dy, 25, 25, 35);
                            }
                        }
                    }
                    x += 7;
                }
                x += 6;
            }
        }
    }
    std::vector<std::uint8_t> stream;
    tavelcast::EncodeJpeg(bitmap, stream); // quality 90, 4:2:0, baseline
    return std::string(stream.begin(), stream.end());
}

// ------------------------------------------------------------------ the pupils (child process)

std::string pupilAddress(int i) {
    return "127.0." + std::to_string(i / 250) + "." + std::to_string(i % 250 + 2);
}

void sendAll(int fd, const std::string& bytes) {
    std::size_t sent = 0;
    while (sent < bytes.size()) {
        const ssize_t n = ::send(fd, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
        if (n <= 0) {
            if (n < 0 && errno == EINTR) {
                continue;
            }
            return;
        }
        sent += static_cast<std::size_t>(n);
    }
}

// Connects n pupils and answers every "GetSnapShot" until the server goes away.
[[noreturn]] void runPupils(int port, int n, int readyFd) {
    const std::string pictures[2] = {desktopJpeg(0), desktopJpeg(1)};
    std::vector<pollfd> fds;
    std::vector<std::string> buffers(static_cast<std::size_t>(n));
    std::vector<int> answered(static_cast<std::size_t>(n), 0);
    for (int i = 0; i < n; ++i) {
        const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in source{};
        source.sin_family = AF_INET;
        ::inet_pton(AF_INET, pupilAddress(i).c_str(), &source.sin_addr);
        sockaddr_in server{};
        server.sin_family = AF_INET;
        server.sin_port = htons(static_cast<std::uint16_t>(port));
        server.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (fd < 0 || ::bind(fd, reinterpret_cast<sockaddr*>(&source), sizeof source) != 0 ||
            ::connect(fd, reinterpret_cast<sockaddr*>(&server), sizeof server) != 0) {
            std::fprintf(stderr, "pupil %d could not connect: %s\n", i, std::strerror(errno));
            ::_exit(1);
        }
        fds.push_back(pollfd{fd, POLLIN, 0});
    }
    const char ready = 1;
    [[maybe_unused]] const auto w = ::write(readyFd, &ready, 1);
    ::close(readyFd);

    int open = n;
    while (open > 0) {
        if (::poll(fds.data(), fds.size(), 1000) < 0 && errno != EINTR) {
            break;
        }
        if (getppid() == 1) {
            break; // the bench has gone
        }
        for (std::size_t i = 0; i < fds.size(); ++i) {
            if (fds[i].fd < 0 || (fds[i].revents & (POLLIN | POLLHUP | POLLERR)) == 0) {
                continue;
            }
            char chunk[4096];
            const ssize_t got = ::recv(fds[i].fd, chunk, sizeof chunk, 0);
            if (got <= 0) {
                ::close(fds[i].fd);
                fds[i].fd = -1;
                --open;
                continue;
            }
            buffers[i].append(chunk, static_cast<std::size_t>(got));
            std::size_t lf;
            while ((lf = buffers[i].find('\n')) != std::string::npos) {
                std::string line = buffers[i].substr(0, lf);
                buffers[i].erase(0, lf + 1);
                if (!line.empty() && line.back() == '\r') {
                    line.pop_back();
                }
                if (line == "GetSnapShot") {
                    const std::string& picture = pictures[answered[i]++ % 2];
                    sendAll(fds[i].fd,
                            "GetSnapShot\r\n" + std::to_string(picture.size()) + "\r\n" + picture);
                }
            }
        }
    }
    ::_exit(0);
}

// ------------------------------------------------------------------ the teacher side

// Pupil i is called pc-NNN, without DNS.
class PupilNames : public tavelcast::NameResolver {
public:
    std::optional<std::string> reverseLookup(const std::string& ip) override {
        unsigned a = 0, b = 0, c = 0, d = 0;
        if (std::sscanf(ip.c_str(), "%u.%u.%u.%u", &a, &b, &c, &d) != 4) {
            return std::nullopt;
        }
        char name[16];
        std::snprintf(name, sizeof name, "pc-%03u", c * 250 + d - 2);
        return std::string(name);
    }
};

class SilentDialogs : public tavelcast::Dialogs {
public:
    void showMessage(const std::string& text) override {
        std::fprintf(stderr, "%s\n", text.c_str());
    }
    void showError(const std::string& text) override { std::fprintf(stderr, "%s\n", text.c_str()); }
    bool askYesNo(const std::string&) override { return false; }
    bool inputQuery(const std::string&, const std::string&, std::string&) override { return false; }
};

// The pupils' process, forked before the bench starts any thread; it connects once it is
// told the server's port.
class PupilProcess {
public:
    explicit PupilProcess(int pupils) : m_pupils(pupils) {
        if (pupils <= 0) {
            return;
        }
        int toChild[2], fromChild[2];
        if (::pipe(toChild) != 0 || ::pipe(fromChild) != 0) {
            std::perror("pipe");
            std::exit(1);
        }
        m_child = ::fork();
        if (m_child == 0) {
            ::close(toChild[1]);
            ::close(fromChild[0]);
            int port = 0;
            if (::read(toChild[0], &port, sizeof port) != sizeof port) {
                ::_exit(0); // the bench ended without a server
            }
            runPupils(port, pupils, fromChild[1]);
        }
        ::close(toChild[0]);
        ::close(fromChild[1]);
        m_toChild = toChild[1];
        m_fromChild = fromChild[0];
    }
    ~PupilProcess() {
        if (m_child > 0) {
            ::close(m_toChild);
            ::kill(m_child, SIGTERM);
            ::waitpid(m_child, nullptr, 0);
            ::close(m_fromChild);
        }
    }
    PupilProcess(const PupilProcess&) = delete;
    PupilProcess& operator=(const PupilProcess&) = delete;

    int pupils() const { return m_pupils; }

    // Tells the pupils where to connect and waits until every one of them has.
    void connect(int port) {
        if (m_child <= 0) {
            return;
        }
        char byte = 0;
        if (::write(m_toChild, &port, sizeof port) != sizeof port ||
            ::read(m_fromChild, &byte, 1) != 1) {
            std::fprintf(stderr, "the pupils did not start\n");
            std::exit(1);
        }
    }

private:
    int m_pupils = 0;
    pid_t m_child = -1;
    int m_toChild = -1;
    int m_fromChild = -1;
};

// The teacher's server with the pupils connected, and the wall on a 1920x1080 display.
class Classroom {
public:
    explicit Classroom(PupilProcess& pupilProcess)
        : m_hostNames(std::make_shared<PupilNames>()),
          m_handler(tavelcast::ConnectionHandler::Deps{m_registry, m_hostNames, m_state,
                                                       appDir() + "Storage/"}),
          m_server(m_handler, options()), m_dispatch(m_server, m_hostNames, m_dialogs) {
        const int pupils = pupilProcess.pupils();
        std::filesystem::create_directories(appDir() + "Storage");
        m_server.activate();
        pupilProcess.connect(m_server.localPort());
        waitFor([&] { return m_server.connectionCount() == static_cast<std::size_t>(pupils); },
                10000);

        tavelcast::SnapshotClientsEnvironment environment;
        environment.AppDir = appDir();
        environment.registry = &m_registry;
        environment.dispatch = &m_dispatch;
        environment.dialogs = &m_dialogs;
        environment.display = QRect(0, 0, 1920, 1080);
        m_window = new tavelcast::TF_SnapshotClients(environment);
        m_window->DoShow()->start();
        while (m_window->DoShow()->isActive()) {
            m_window->DoShowTimer();
        }
        m_window->DoIcons()->stop(); // the bench runs the passes itself

        // The first pass asks everybody; the answers fill the registry.
        pass();
        waitFor([&] { return m_registry.rows().size() == static_cast<std::size_t>(pupils); },
                20000);
    }

    ~Classroom() {
        delete m_window;
        m_server.shutdown();
        std::error_code ignored;
        std::filesystem::remove_all(appDir(), ignored);
    }

    // One refresh pass; returns the UI thread's time in it, in ms.
    double pass() {
        const auto start = Clock::now();
        m_window->DoIconsTimer();
        const double spent = msSince(start);
        m_window->DoIcons()->stop();
        return spent;
    }

    // Runs the event loop for `ms` milliseconds as the real program would between passes,
    // adding up the time the UI thread is busy (swapping pictures in, painting) and the
    // longest single turn of the loop. Returns when the time is up.
    struct Busy {
        double total = 0;
        double longest = 0;
        double settledAfter = -1; // ms until every queued thumbnail was swapped in
    };
    Busy runLoop(int ms) {
        Busy busy;
        const auto start = Clock::now();
        while (msSince(start) < ms) {
            const auto turn = Clock::now();
            QCoreApplication::processEvents(QEventLoop::AllEvents);
            const double spent = msSince(turn);
            busy.total += spent;
            busy.longest = std::max(busy.longest, spent);
            if (busy.settledAfter < 0 && m_window->thumbnailsSettled()) {
                busy.settledAfter = msSince(start);
            }
            std::this_thread::sleep_for(std::chrono::microseconds(500));
        }
        return busy;
    }

    tavelcast::TF_SnapshotClients& window() { return *m_window; }
    std::size_t tilesWithPictures() const {
        std::size_t count = 0;
        for (const auto& name : m_window->tileNames()) {
            count += m_window->tile(name)->hasPicture() ? 1 : 0;
        }
        return count;
    }

private:
    static std::string appDir() {
        static const std::string dir =
            "/tmp/tavelcast-wall-bench-" + std::to_string(::getpid()) + "/";
        return dir;
    }
    static tavelcast::TcpServerOptions options() {
        tavelcast::TcpServerOptions o;
        o.address = "127.0.0.1";
        o.port = 0;
        return o;
    }
    template <typename Condition> void waitFor(Condition condition, int ms) {
        const auto start = Clock::now();
        while (!condition()) {
            if (msSince(start) > ms) {
                std::fprintf(stderr, "timed out waiting for the classroom\n");
                std::exit(1);
            }
            QCoreApplication::processEvents();
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
    }

    tavelcast::ClientRegistry m_registry;
    tavelcast::ServerState m_state;
    tavelcast::HostNames m_hostNames;
    tavelcast::ConnectionHandler m_handler;
    tavelcast::TcpServer m_server;
    SilentDialogs m_dialogs;
    tavelcast::CommandDispatch m_dispatch;
    tavelcast::TF_SnapshotClients* m_window = nullptr;
};

long statusKb(const char* field) {
    std::ifstream status("/proc/self/status");
    std::string line;
    const std::string prefix = std::string(field) + ":";
    while (std::getline(status, line)) {
        if (line.rfind(prefix, 0) == 0) {
            return std::strtol(line.c_str() + prefix.size(), nullptr, 10);
        }
    }
    return -1;
}

// ------------------------------------------------------------------ the figures

void passFigures(PupilProcess& pupilProcess, int cycles) {
    const int pupils = pupilProcess.pupils();
    Classroom room(pupilProcess);
    std::printf("== refresh pass, %d pupils, 1920x1080 q90 snapshots (%zu bytes and %zu bytes)\n",
                pupils, desktopJpeg(0).size(), desktopJpeg(1).size());
    // Warm up: the tiles are built and filled.
    for (int i = 0; i < 3; ++i) {
        room.pass();
        room.runLoop(1000);
    }
    std::printf("tiles: %zu, with pictures: %zu\n", room.window().tileNames().size(),
                room.tilesWithPictures());

    std::vector<double> passes, busy, longest, settled;
    for (int i = 0; i < cycles; ++i) {
        passes.push_back(room.pass());
        const auto loop = room.runLoop(1000); // the pass interval
        busy.push_back(loop.total);
        longest.push_back(loop.longest);
        settled.push_back(loop.settledAfter);
    }
    std::printf("UI thread in DoIconsTimer (sort, walk, tiles, queue loads, GetSnapShot to %d):\n"
                "  median %.2f ms  p95 %.2f ms  max %.2f ms   (goal < 16 ms)\n",
                pupils, percentile(passes, 0.5), percentile(passes, 0.95), percentile(passes, 1.0));
    std::printf("UI thread between passes (swapping %d new pictures in, painting), per second:\n"
                "  median %.2f ms  max %.2f ms; longest single event-loop turn %.2f ms\n",
                pupils, percentile(busy, 0.5), percentile(busy, 1.0), percentile(longest, 1.0));
    std::printf("worker: all %d new thumbnails read, decoded and swapped in %.0f ms (median) "
                "after the pass\n",
                pupils, percentile(settled, 0.5));
}

void decodeFigures(int rounds) {
    const std::string jpeg = desktopJpeg(0);
    const auto* data = reinterpret_cast<const std::uint8_t*>(jpeg.data());
    const std::span<const std::uint8_t> bytes(data, jpeg.size());
    tavelcast::ThumbnailDecoder decoder;

    tjhandle handle = tjInitDecompress();
    auto fullDecodeAndResize = [&] {
        QImage full(1920, 1080, QImage::Format_RGB32);
        tjDecompress2(handle, const_cast<unsigned char*>(data), jpeg.size(), full.bits(), 1920,
                      static_cast<int>(full.bytesPerLine()), 1080, TJPF_BGRX, 0);
        return full.scaled(192, 144, Qt::IgnoreAspectRatio, Qt::SmoothTransformation);
    };

    std::vector<double> wall, cover, full;
    for (int i = 0; i < rounds; ++i) {
        auto start = Clock::now();
        const auto thumb = tavelcast::ThumbnailLoader::makeThumbnail(bytes, QSize(192, 144));
        wall.push_back(msSince(start));
        start = Clock::now();
        const auto covering = decoder.thumbnail(bytes);
        cover.push_back(msSince(start));
        start = Clock::now();
        const QImage resized = fullDecodeAndResize();
        full.push_back(msSince(start));
        if (!thumb || thumb->size() != QSize(192, 144) || !covering ||
            resized.size() != QSize(192, 144)) {
            std::fprintf(stderr, "a decode failed\n");
            std::exit(1);
        }
    }
    tjDestroy(handle);
    const QSize dct = decoder.scaledSize(1920, 1080);
    const double w = percentile(wall, 0.5), c = percentile(cover, 0.5), f = percentile(full, 0.5);
    std::printf("== one thumbnail from a 1920x1080 q90 JPEG (%zu bytes), median of %d rounds\n",
                jpeg.size(), rounds);
    std::printf("wall: DCT 1/8 to 240x135, resize to 192x144:       %6.2f ms\n", w);
    std::printf("DCT to %dx%d (covers the tile), resize:            %6.2f ms\n", dct.width(),
                dct.height(), c);
    std::printf("baseline: full decode to 1920x1080, resize:         %6.2f ms\n", f);
    std::printf("ratio baseline / wall: %.1fx   (baseline / covering DCT: %.1fx)\n", f / w, f / c);
}

// Peak and current RSS of this process with n pupils on a filled wall.
void rssFigures(PupilProcess& pupilProcess) {
    const int pupils = pupilProcess.pupils();
    const long before = statusKb("VmRSS");
    {
        Classroom room(pupilProcess);
        for (int i = 0; i < 4; ++i) {
            room.pass();
            room.runLoop(1000);
        }
        if (room.tilesWithPictures() != static_cast<std::size_t>(pupils)) {
            std::fprintf(stderr, "only %zu of %d tiles filled\n", room.tilesWithPictures(), pupils);
        }
        qint64 kept = 0;
        for (const auto& name : room.window().tileNames()) {
            kept += room.window().tile(name)->jpegBytes().size();
        }
        std::printf("rss pupils=%d start_kb=%ld peak_kb=%ld now_kb=%ld kept_kb=%lld\n", pupils,
                    before, statusKb("VmHWM"), statusKb("VmRSS"),
                    static_cast<long long>(kept / 1024));
    }
}

struct RssLine {
    long start = 0, peak = 0, now = 0;
    long long kept = 0;
};

std::optional<RssLine> measureInChild(const char* self, int pupils) {
    const std::string command = std::string(self) + " --rss " + std::to_string(pupils);
    FILE* out = ::popen(command.c_str(), "r");
    if (out == nullptr) {
        return std::nullopt;
    }
    char line[512];
    std::optional<RssLine> result;
    while (std::fgets(line, sizeof line, out) != nullptr) {
        RssLine r;
        int n = 0;
        if (std::sscanf(line, "rss pupils=%d start_kb=%ld peak_kb=%ld now_kb=%ld kept_kb=%lld", &n,
                        &r.start, &r.peak, &r.now, &r.kept) == 5) {
            result = r;
        }
    }
    ::pclose(out);
    return result;
}

} // namespace

int main(int argc, char* argv[]) {
    ::signal(SIGPIPE, SIG_IGN);
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) {
        qputenv("QT_QPA_PLATFORM", "offscreen");
    }
    int pupils = 100, cycles = 10, rss = -1;
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string option = argv[i];
        const int value = std::atoi(argv[i + 1]);
        if (option == "--pupils") {
            pupils = value;
        } else if (option == "--cycles") {
            cycles = value;
        } else if (option == "--rss") {
            rss = value;
        }
    }
    // The pupils are forked before Qt or the server starts any thread.
    PupilProcess pupilProcess(rss >= 0 ? rss : pupils);
    QApplication application(argc, argv);
    if (rss >= 0) {
        rssFigures(pupilProcess);
        return 0;
    }

    passFigures(pupilProcess, cycles);
    decodeFigures(30);

    std::printf("== peak RSS of the teacher process (pupils in another process)\n");
    const auto none = measureInChild(argv[0], 0);
    const auto hundred = measureInChild(argv[0], 100);
    const auto twoHundred = measureInChild(argv[0], 200);
    if (!none || !hundred || !twoHundred) {
        std::printf("could not measure\n");
        return 1;
    }
    for (const auto& [n, r] : {std::pair{0, *none}, {100, *hundred}, {200, *twoHundred}}) {
        std::printf("%3d pupils: peak %.1f MiB, after the passes %.1f MiB, of which the tiles' "
                    "kept JPEG bytes %.1f MiB\n",
                    n, r.peak / 1024.0, r.now / 1024.0, r.kept / 1024.0);
    }
    const double perPupilPeak = (twoHundred->peak - hundred->peak) / 100.0 / 1024.0;
    const double perPupilNow = (twoHundred->now - hundred->now) / 100.0 / 1024.0;
    std::printf("per pupil (200 vs 100): peak %.2f MiB, steady %.2f MiB; against a budget of "
                "20-30 MiB per pupil that is %.0fx below the low end\n",
                perPupilPeak, perPupilNow, 20.0 / std::max(perPupilPeak, 0.001));
    return 0;
}
