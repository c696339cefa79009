// Baseline for the snapshot ingest benchmark: a bare loop of open/write/close of the same
// number of bytes per file that the pupils send, into the same kind of folder. Prints the
// CPU and wall time per file as JSON.
//
//   file_write_baseline <folder> <files> <bytes-per-file>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <fcntl.h>
#include <string>
#include <unistd.h>
#include <vector>

int main(int argc, char** argv) {
    if (argc != 4) {
        std::fprintf(stderr, "usage: %s <folder> <files> <bytes-per-file>\n", argv[0]);
        return 1;
    }
    const std::string folder = argv[1];
    const long files = std::atol(argv[2]);
    const long bytes = std::atol(argv[3]);
    std::vector<unsigned char> payload(static_cast<std::size_t>(bytes));
    for (std::size_t i = 0; i < payload.size(); ++i) {
        payload[i] = static_cast<unsigned char>(i * 7);
    }
    timespec cpu0{}, cpu1{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &cpu0);
    const auto wall0 = std::chrono::steady_clock::now();
    for (long i = 0; i < files; ++i) {
        // 200 distinct names, overwritten in turn, as the storage folder is.
        const std::string path = folder + "/pupil" + std::to_string(i % 200) + ".jpg";
        const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (fd < 0 || ::write(fd, payload.data(), payload.size()) != bytes) {
            std::perror(path.c_str());
            return 1;
        }
        ::close(fd);
    }
    const auto wall1 = std::chrono::steady_clock::now();
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &cpu1);
    const double cpu = (cpu1.tv_sec - cpu0.tv_sec) + (cpu1.tv_nsec - cpu0.tv_nsec) / 1e9;
    const double wall = std::chrono::duration<double>(wall1 - wall0).count();
    std::printf("{\"files\":%ld,\"bytes\":%ld,\"cpu_s\":%.6f,\"wall_s\":%.6f,"
                "\"cpu_us_per_file\":%.2f,\"wall_us_per_file\":%.2f}\n",
                files, bytes, cpu, wall, cpu / files * 1e6, wall / files * 1e6);
    return 0;
}
