#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace tavelcast::sim {

// What one pupil did and saw during a run. Sums over pupils make the run's totals.
struct PupilStats {
    std::uint64_t connections = 0;     // connections made
    std::uint64_t connectFailures = 0; // connection attempts that failed
    std::uint64_t disconnectsByServer = 0;
    std::uint64_t closedOnFramingError = 0; // connections we ended: the stream made no sense
    std::uint64_t snapshotsSent = 0;
    std::uint64_t snapshotBytesSent = 0;
    std::uint64_t snapshotsAsked = 0; // of those, answers to the server's GetSnapShot
    std::uint64_t acks = 0;           // IDLE lines that answered a snapshot
    std::uint64_t unexpectedAcks = 0; // IDLE lines with no snapshot waiting for one
    std::uint64_t unacked = 0;        // snapshots whose IDLE never came
    std::uint64_t pollsSent = 0;
    std::uint64_t listRequestsSent = 0;
    std::uint64_t listsPushed = 0; // GetDisallowedApps + list line from the server
    std::uint64_t listAnswers = 0; // bare list lines (answers to our requests)
    std::uint64_t frames = 0;
    std::uint64_t frameBytes = 0;
    std::uint64_t framingErrors = 0;
    std::map<std::string, std::uint64_t> words; // received lines by word
    std::vector<double> latenciesMs;            // snapshot sent -> IDLE received

    void add(const PupilStats& other) {
        connections += other.connections;
        connectFailures += other.connectFailures;
        disconnectsByServer += other.disconnectsByServer;
        closedOnFramingError += other.closedOnFramingError;
        snapshotsSent += other.snapshotsSent;
        snapshotBytesSent += other.snapshotBytesSent;
        snapshotsAsked += other.snapshotsAsked;
        acks += other.acks;
        unexpectedAcks += other.unexpectedAcks;
        unacked += other.unacked;
        pollsSent += other.pollsSent;
        listRequestsSent += other.listRequestsSent;
        listsPushed += other.listsPushed;
        listAnswers += other.listAnswers;
        frames += other.frames;
        frameBytes += other.frameBytes;
        framingErrors += other.framingErrors;
        for (const auto& [word, count] : other.words) {
            words[word] += count;
        }
        latenciesMs.insert(latenciesMs.end(), other.latenciesMs.begin(), other.latenciesMs.end());
    }
};

} // namespace tavelcast::sim
