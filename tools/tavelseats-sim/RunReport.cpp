#include "RunReport.h"

#include <cstdio>
#include <sstream>

namespace tavelcast::sim {

namespace {

std::string fixed(double value, int decimals = 3) {
    char text[64];
    std::snprintf(text, sizeof text, "%.*f", decimals, value);
    return text;
}

// The counters shared by the totals and each pupil, as JSON members (no braces).
std::string counterMembers(const PupilStats& s) {
    std::ostringstream out;
    out << "\"connections\":" << s.connections << ",\"connect_failures\":" << s.connectFailures
        << ",\"disconnects_by_server\":" << s.disconnectsByServer
        << ",\"closed_on_framing_error\":" << s.closedOnFramingError
        << ",\"snapshots_sent\":" << s.snapshotsSent << ",\"snapshots_asked\":" << s.snapshotsAsked
        << ",\"snapshot_bytes_sent\":" << s.snapshotBytesSent << ",\"acks\":" << s.acks
        << ",\"unexpected_acks\":" << s.unexpectedAcks << ",\"unacked\":" << s.unacked
        << ",\"polls_sent\":" << s.pollsSent << ",\"list_requests_sent\":" << s.listRequestsSent
        << ",\"lists_pushed\":" << s.listsPushed << ",\"list_answers\":" << s.listAnswers
        << ",\"frames\":" << s.frames << ",\"frame_bytes\":" << s.frameBytes
        << ",\"framing_errors\":" << s.framingErrors << ",\"words\":{";
    bool first = true;
    for (const auto& [word, count] : s.words) {
        out << (first ? "" : ",") << jsonString(word) << ':' << count;
        first = false;
    }
    out << '}';
    return out.str();
}

std::string latencyJson(const LatencySummary& l) {
    return "{\"count\":" + std::to_string(l.count) + ",\"p50\":" + fixed(l.p50) +
           ",\"p90\":" + fixed(l.p90) + ",\"p99\":" + fixed(l.p99) + ",\"max\":" + fixed(l.max) +
           "}";
}

std::string latencyText(const LatencySummary& l) {
    if (l.count == 0) {
        return "none";
    }
    return "p50 " + fixed(l.p50, 2) + " ms, p90 " + fixed(l.p90, 2) + " ms, p99 " +
           fixed(l.p99, 2) + " ms, max " + fixed(l.max, 2) + " ms (" + std::to_string(l.count) +
           " samples)";
}

std::string wordsText(const PupilStats& s) {
    std::string text;
    for (const auto& [word, count] : s.words) {
        text += (text.empty() ? "" : ", ") + word + " " + std::to_string(count);
    }
    return text.empty() ? "none" : text;
}

} // namespace

std::string jsonString(std::string_view text) {
    std::string out = "\"";
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if (c == '"' || c == '\\') {
            out += '\\';
            out += c;
        } else if (byte < 0x20 || byte >= 0x7f) {
            // Lines are raw bytes; anything outside printable ASCII is escaped as a code unit
            // of the same value so the output stays valid JSON whatever arrived.
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\u%04x", byte);
            out += escaped;
        } else {
            out += c;
        }
    }
    return out + "\"";
}

RunReport::RunReport(const SimOptions& options, const std::vector<std::unique_ptr<Pupil>>& pupils,
                     double elapsedSeconds, std::string endReason, bool readyFileWritten,
                     std::optional<VerifyResult> verify)
    : m_options(options), m_pupils(pupils), m_elapsedSeconds(elapsedSeconds),
      m_endReason(std::move(endReason)), m_readyFileWritten(readyFileWritten),
      m_verify(std::move(verify)) {
    for (const auto& pupil : pupils) {
        m_totals.add(pupil->stats());
    }
    m_latency = LatencySummary::of(m_totals.latenciesMs);
}

std::string RunReport::toJson() const {
    std::ostringstream out;
    out << "{\"clients\":" << m_options.clients << ",\"elapsed_s\":" << fixed(m_elapsedSeconds)
        << ",\"end_reason\":" << jsonString(m_endReason)
        << ",\"ready_file_written\":" << (m_readyFileWritten ? "true" : "false") << ','
        << counterMembers(m_totals) << ",\"latency_ms\":" << latencyJson(m_latency);
    if (m_verify) {
        out << ",\"verify\":{\"files_checked\":" << m_verify->filesChecked
            << ",\"matches\":" << m_verify->matches << ",\"mismatches\":" << m_verify->mismatches
            << ",\"missing\":" << m_verify->missing
            << ",\"pupils_without_snapshot\":" << m_verify->pupilsWithoutSnapshot
            << ",\"mismatched_files\":[";
        for (std::size_t i = 0; i < m_verify->mismatchedFiles.size(); ++i) {
            out << (i ? "," : "") << jsonString(m_verify->mismatchedFiles[i]);
        }
        out << "]}";
    }
    if (m_options.perPupil) {
        out << ",\"pupils\":[";
        for (std::size_t i = 0; i < m_pupils.size(); ++i) {
            const auto& pupil = *m_pupils[i];
            auto stats = pupil.stats();
            const auto latency = LatencySummary::of(stats.latenciesMs);
            out << (i ? "," : "") << "{\"name\":" << jsonString(pupil.name()) << ",\"source\":"
                << jsonString(pupil.sourceAddress() ? dottedAddress(pupil.sourceAddress()) : "")
                << ',' << counterMembers(stats) << ",\"latency_ms\":" << latencyJson(latency)
                << '}';
        }
        out << ']';
    }
    out << "}\n";
    return out.str();
}

std::string RunReport::toText() const {
    const PupilStats& t = m_totals;
    std::ostringstream out;
    out << "tavelseats-sim: " << m_options.clients << " pupils, " << fixed(m_elapsedSeconds, 2)
        << " s, ended by " << m_endReason << "\n"
        << "  connections          " << t.connections << " made, " << t.connectFailures
        << " failed, " << t.disconnectsByServer << " closed by the server, "
        << t.closedOnFramingError << " closed on framing errors\n"
        << "  snapshots            " << t.snapshotsSent << " sent (" << t.snapshotsAsked
        << " asked for, " << t.snapshotBytesSent << " bytes), " << t.acks << " acknowledged, "
        << t.unacked << " never acknowledged, " << t.unexpectedAcks << " unexpected IDLE\n"
        << "  ack latency          " << latencyText(m_latency) << "\n"
        << "  polls                " << t.pollsSent << " sent\n"
        << "  frames               " << t.frames << " (" << t.frameBytes << " bytes), "
        << t.framingErrors << " framing errors\n"
        << "  lists                " << t.listRequestsSent << " requested, " << t.listAnswers
        << " answers, " << t.listsPushed << " pushed\n"
        << "  words received       " << wordsText(t) << "\n";
    if (!m_options.readyFile.empty()) {
        out << "  ready file           " << (m_readyFileWritten ? "written" : "NOT written")
            << "\n";
    }
    if (m_verify) {
        out << "  verify               " << m_verify->filesChecked << " files checked, "
            << m_verify->matches << " match, " << m_verify->mismatches << " mismatch ("
            << m_verify->missing << " missing), " << m_verify->pupilsWithoutSnapshot
            << " pupils sent nothing\n";
        for (const auto& file : m_verify->mismatchedFiles) {
            out << "    mismatch: " << file << "\n";
        }
    }
    if (m_options.perPupil) {
        for (const auto& pupil : m_pupils) {
            auto stats = pupil->stats();
            const auto latency = LatencySummary::of(stats.latenciesMs);
            out << "  " << pupil->name() << " ("
                << (pupil->sourceAddress() ? dottedAddress(pupil->sourceAddress()) : "-")
                << "): " << stats.connections << " conn, " << stats.snapshotsSent << " snaps, "
                << stats.acks << " acks, " << stats.frames << " frames, " << stats.framingErrors
                << " framing errors, " << stats.disconnectsByServer << " closed by server; latency "
                << latencyText(latency) << "; words " << wordsText(stats) << "\n";
        }
    }
    return out.str();
}

} // namespace tavelcast::sim
