// Screen sending over loopback, each figure beside a baseline measured in the same run.
//
//   stream_bench --text FILE --photo FILE [--pupils 1,8,32,128] [--seconds S]
//                [--xserver-pid PID]
//
// Needs DISPLAY: a 1920x1080x24 Xvfb, e.g.
//   Xvfb :77 -screen 0 1920x1080x24 -nolisten tcp -noreset &
// and the two pictures of `capture_bench --save-pictures DIR` (DIR/text.png, DIR/photo.png).
// The bench shows each picture on the root window itself (ImageMagick's display), so the
// frames are real captures of a real X server.
//
// 1. Bytes per frame for the text-heavy and the photo-heavy screen, the frame's cost
//    against a bare tjCompress2 of the same pixels, and the frames/s a 1 Gbit/s LAN would
//    carry to 30 pupils.
// 2. Aggregate delivery with the photo on screen: the server core in-process on 127.0.0.1
//    with the real frame service, N pupils (reader threads in this process, one socket
//    each) polling back-to-back ("IDLE", then the whole frame, then "IDLE" again), sharing
//    on and off (one capture per poll). Frames/s and MB/s received, captures/s, and CPU
//    seconds per delivered frame: the server's (this process less the reader threads) and,
//    given --xserver-pid, with the X server's CPU added.

#include "../tests/support/InProcessServer.h"
#include "../tests/support/LoopbackPupil.h"

#include "capture/Bitmap.h"
#include "capture/EncodeJpeg.h"
#include "capture/ScreenFrameService.h"
#include "capture/X11ScreenSource.h"

#include <turbojpeg.h>

#include <pthread.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

using namespace tavelcast;
using Clock = std::chrono::steady_clock;

namespace {

double seconds(Clock::duration d) {
    return std::chrono::duration<double>(d).count();
}

double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v.empty() ? 0 : v[v.size() / 2];
}

double processCpu() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_utime.tv_sec + usage.ru_stime.tv_sec +
           (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

double threadCpu(std::thread& thread) {
    clockid_t clock{};
    if (pthread_getcpuclockid(thread.native_handle(), &clock) != 0)
        return 0;
    timespec ts{};
    clock_gettime(clock, &ts);
    return ts.tv_sec + ts.tv_nsec / 1e9;
}

// CPU seconds (user + system) of another process, from /proc; 0 when unknown.
double otherProcessCpu(long pid) {
    if (pid <= 0)
        return 0;
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
    const auto close = text.rfind(')');
    if (close == std::string::npos)
        return 0;
    std::istringstream fields(text.substr(close + 2));
    std::string field;
    long long utime = 0, stime = 0;
    for (int i = 3; fields >> field; ++i) { // field 3 is the state
        if (i == 14)
            utime = std::atoll(field.c_str());
        if (i == 15) {
            stime = std::atoll(field.c_str());
            break;
        }
    }
    return static_cast<double>(utime + stime) / static_cast<double>(sysconf(_SC_CLK_TCK));
}

bool showOnRoot(const std::string& file) {
    // ImageMagick's display sets the root window's background and exits (with status 1
    // even when it worked), so its status says nothing; the frames show what happened.
    const std::string command = "timeout 30 display -window root '" + file + "'";
    return std::system(command.c_str()) != -1;
}

// A pupil that polls back-to-back and reads every frame whole: the line
// "DoScreenStreaming", a count line, then exactly that many bytes.
class PollingPupil {
public:
    explicit PollingPupil(std::uint16_t port) : m_socket(port) {
        timeval timeout{10, 0}; // a stuck read ends the run instead of hanging it
        setsockopt(m_socket.fd(), SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
    }

    // Polls until `stop`; adds every frame received to the counters.
    void run(const std::atomic<bool>& stop, std::atomic<long>& frames, std::atomic<long>& bytes,
             std::atomic<long>& errors) {
        while (!stop.load(std::memory_order_relaxed)) {
            static constexpr char poll[] = "IDLE\r\n";
            if (::send(m_socket.fd(), poll, sizeof poll - 1, MSG_NOSIGNAL) != sizeof poll - 1 ||
                !readFrame()) {
                ++errors;
                return;
            }
            const bool framed = m_frame.size() >= 4 && m_frame[0] == 0xFF && m_frame[1] == 0xD8 &&
                                m_frame[m_frame.size() - 2] == 0xFF && m_frame.back() == 0xD9;
            if (!framed)
                ++errors;
            ++frames;
            bytes += static_cast<long>(m_frame.size());
        }
    }

private:
    bool fill() {
        if (m_start == m_end)
            m_start = m_end = 0;
        if (m_end == sizeof m_buffer)
            return false; // a line longer than the buffer: not our protocol
        const ssize_t n = ::recv(m_socket.fd(), m_buffer + m_end, sizeof m_buffer - m_end, 0);
        if (n <= 0)
            return false;
        m_end += static_cast<std::size_t>(n);
        return true;
    }

    bool readLine(std::string& line) {
        for (;;) {
            const char* begin = m_buffer + m_start;
            const char* lf = static_cast<const char*>(std::memchr(begin, '\n', m_end - m_start));
            if (lf) {
                line.assign(begin, lf);
                if (!line.empty() && line.back() == '\r')
                    line.pop_back();
                m_start += static_cast<std::size_t>(lf - begin) + 1;
                return true;
            }
            if (m_start > 0) {
                std::memmove(m_buffer, m_buffer + m_start, m_end - m_start);
                m_end -= m_start;
                m_start = 0;
            }
            if (!fill())
                return false;
        }
    }

    bool readFrame() {
        std::string line;
        if (!readLine(line) || line != "DoScreenStreaming" || !readLine(line))
            return false;
        char* end = nullptr;
        const unsigned long long count = std::strtoull(line.c_str(), &end, 10);
        if (line.empty() || *end != '\0' || count > (64ull << 20))
            return false;
        m_frame.resize(count);
        std::size_t have = std::min<std::size_t>(count, m_end - m_start);
        std::memcpy(m_frame.data(), m_buffer + m_start, have);
        m_start += have;
        while (have < count) {
            const ssize_t n = ::recv(m_socket.fd(), m_frame.data() + have, count - have, 0);
            if (n <= 0)
                return false;
            have += static_cast<std::size_t>(n);
        }
        return true;
    }

    testing::LoopbackPupil m_socket;
    char m_buffer[65536];
    std::size_t m_start = 0, m_end = 0;
    std::vector<std::uint8_t> m_frame;
};

struct DeliveryFigures {
    double framesPerSecond = 0, megabytesPerSecond = 0, capturesPerSecond = 0;
    double serverCpuPerFrame = 0, withXCpuPerFrame = 0;
    long errors = 0;
};

DeliveryFigures measureDelivery(const std::shared_ptr<X11ScreenSource>& source, int pupils,
                                ScreenFrameService::Sharing sharing, double measureSeconds,
                                long xserverPid) {
    ScreenFrameService::Options options;
    options.sharing = sharing;
    ScreenFrameService service(source, {}, options);
    testing::InProcessServer server({}, &service);
    server.state.setStreamMode(StreamModeValue::DoScreenStreaming);

    // Connect in batches well under the listen backlog, each batch accepted before the next.
    std::vector<std::unique_ptr<PollingPupil>> sockets;
    for (int i = 0; i < pupils; ++i) {
        sockets.push_back(std::make_unique<PollingPupil>(server.port()));
        if ((i + 1) % 10 == 0 || i + 1 == pupils)
            if (!server.notifying.waitConnects(i + 1)) {
                std::fprintf(stderr, "only some pupils were accepted\n");
                std::exit(1);
            }
    }

    std::atomic<bool> stop{false};
    std::atomic<long> frames{0}, bytes{0}, errors{0};
    std::vector<std::thread> readers;
    for (auto& pupil : sockets)
        readers.emplace_back([&, p = pupil.get()] { p->run(stop, frames, bytes, errors); });

    const auto readerCpu = [&] {
        double sum = 0;
        for (auto& t : readers)
            sum += threadCpu(t);
        return sum;
    };
    // Warm-up: every pupil has its first frames, the shared-memory images exist.
    const auto warmUntil = Clock::now() + std::chrono::milliseconds(1500);
    while (Clock::now() < warmUntil)
        std::this_thread::sleep_for(std::chrono::milliseconds(50));

    const auto t0 = Clock::now();
    const long frames0 = frames, bytes0 = bytes;
    const auto made0 = service.framesMade();
    const double cpu0 = processCpu(), readers0 = readerCpu(), x0 = otherProcessCpu(xserverPid);
    const auto until = t0 + std::chrono::duration_cast<Clock::duration>(
                                std::chrono::duration<double>(measureSeconds));
    while (Clock::now() < until)
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    const double cpu1 = processCpu(), readers1 = readerCpu(), x1 = otherProcessCpu(xserverPid);
    const long frames1 = frames, bytes1 = bytes;
    const auto made1 = service.framesMade();
    const double elapsed = seconds(Clock::now() - t0);

    stop = true;
    for (auto& t : readers)
        t.join();

    DeliveryFigures f;
    const double delivered = static_cast<double>(frames1 - frames0);
    f.framesPerSecond = delivered / elapsed;
    f.megabytesPerSecond = static_cast<double>(bytes1 - bytes0) / elapsed / 1e6;
    f.capturesPerSecond = static_cast<double>(made1 - made0) / elapsed;
    if (delivered > 0) {
        f.serverCpuPerFrame = ((cpu1 - cpu0) - (readers1 - readers0)) / delivered;
        f.withXCpuPerFrame = f.serverCpuPerFrame + (x1 - x0) / delivered;
    }
    f.errors = errors;
    return f;
}

std::vector<int> parseList(const std::string& text) {
    std::vector<int> out;
    std::stringstream in(text);
    std::string item;
    while (std::getline(in, item, ','))
        if (const int n = std::atoi(item.c_str()); n > 0)
            out.push_back(n);
    return out;
}

} // namespace

int main(int argc, char** argv) {
    std::string textPicture, photoPicture;
    std::vector<int> pupilCounts = {1, 8, 32, 128};
    double measureSeconds = 4;
    long xserverPid = 0;
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string arg = argv[i], value = argv[i + 1];
        if (arg == "--text")
            textPicture = value;
        else if (arg == "--photo")
            photoPicture = value;
        else if (arg == "--pupils")
            pupilCounts = parseList(value);
        else if (arg == "--seconds")
            measureSeconds = std::max(1.0, std::atof(value.c_str()));
        else if (arg == "--xserver-pid")
            xserverPid = std::atol(value.c_str());
        else {
            std::fprintf(stderr, "unknown option %s\n", arg.c_str());
            return 1;
        }
    }
    if (!std::getenv("DISPLAY") || textPicture.empty() || photoPicture.empty()) {
        std::fprintf(stderr, "usage: DISPLAY=:N stream_bench --text FILE --photo FILE "
                             "[--pupils 1,8,32,128] [--seconds S] [--xserver-pid PID]\n");
        return 1;
    }
    auto source = std::make_shared<X11ScreenSource>();
    const ScreenSize size = source->displaySize();

    // 1. Bytes per frame, frame cost against the bare encode, and a 1 Gbit/s LAN.
    std::printf("== bytes per %dx%d frame (quality 90, 4:2:0, baseline), through the real "
                "capture; median of 15\n",
                size.width, size.height);
    tjhandle bare = tjInitCompress();
    unsigned long capacity = tjBufSize(size.width, size.height, TJSAMP_420);
    unsigned char* buffer = tjAlloc(static_cast<int>(capacity));
    // Payload bytes a 1 Gbit/s Ethernet link carries per second over TCP: 1448 bytes of
    // segment payload (MSS with timestamps) per 1538 bytes on the wire.
    const double lanPayloadPerSecond = 1e9 / 8 * 1448.0 / 1538.0;
    for (const auto& [name, file] :
         {std::pair{"text-heavy", textPicture}, std::pair{"photo-heavy", photoPicture}}) {
        showOnRoot(file);
        ScreenFrameService::Options off;
        off.sharing = ScreenFrameService::Sharing::Off;
        ScreenFrameService service(source, {}, off);
        std::vector<double> frameMs, bareMs, frameBytes;
        Bitmap scratch;
        for (int i = 0; i < 15; ++i) {
            const auto t0 = Clock::now();
            const auto frame = service.frame();
            frameMs.push_back(seconds(Clock::now() - t0) * 1e3);
            frameBytes.push_back(static_cast<double>(frame->size()));
            source->captureView(
                0, 0, size.width, size.height, scratch, [&](const BitmapView& view) {
                    unsigned long out = capacity;
                    const auto b0 = Clock::now();
                    tjCompress2(bare, view.pixels, view.width, view.stride, view.height, TJPF_BGRX,
                                &buffer, &out, TJSAMP_420, 90, TJFLAG_NOREALLOC);
                    bareMs.push_back(seconds(Clock::now() - b0) * 1e3);
                });
        }
        const double bytesPerFrame = median(frameBytes);
        // Each frame also carries its two lines ("DoScreenStreaming", the count).
        const double lanFps = lanPayloadPerSecond / (30 * (bytesPerFrame + 28));
        std::printf("%-12s %8.0f bytes (%.1f KiB); frame %.2f ms vs bare tjCompress2 %.2f ms "
                    "(ratio %.2f); 1 Gbit/s to 30 pupils: %.1f frames/s each\n",
                    name, bytesPerFrame, bytesPerFrame / 1024, median(frameMs), median(bareMs),
                    median(frameMs) / median(bareMs), lanFps);
    }
    tjFree(buffer);
    tjDestroy(bare);

    // 2. Aggregate delivery over loopback, photo on screen.
    showOnRoot(photoPicture);
    std::printf("\n== delivery over loopback, photo-heavy screen, pupils polling back-to-back, "
                "%.0f s per cell after 1.5 s warm-up\n",
                measureSeconds);
    std::printf("%7s %7s %10s %9s %10s %14s %14s %7s\n", "pupils", "sharing", "frames/s", "MB/s",
                "captures/s", "CPU ms/frame", "+X ms/frame", "errors");
    for (const int n : pupilCounts) {
        DeliveryFigures cell[2];
        for (const auto sharing :
             {ScreenFrameService::Sharing::Off, ScreenFrameService::Sharing::On}) {
            const bool on = sharing == ScreenFrameService::Sharing::On;
            cell[on] = measureDelivery(source, n, sharing, measureSeconds, xserverPid);
            const DeliveryFigures& f = cell[on];
            std::printf("%7d %7s %10.1f %9.1f %10.1f %14.3f %14s %7ld\n", n, on ? "on" : "off",
                        f.framesPerSecond, f.megabytesPerSecond, f.capturesPerSecond,
                        f.serverCpuPerFrame * 1e3,
                        xserverPid > 0
                            ? std::to_string(f.withXCpuPerFrame * 1e3).substr(0, 6).c_str()
                            : "-",
                        f.errors);
            std::fflush(stdout);
        }
        std::printf("%7d   ratio frames/s on / off: %.1fx%s\n", n,
                    cell[1].framesPerSecond / std::max(cell[0].framesPerSecond, 1e-9),
                    n == 32 ? " (goal >= 10x)" : "");
    }
    return 0;
}
