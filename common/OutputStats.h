#pragma once

/// @file
/// The state and statistics of one output of a job, as the facade reports them.

#include <QString>

namespace strevo {

/// Where an output stands. A recording goes Starting → Recording → Stopped; a live output
/// Starting → Connecting → Live, and Reconnecting when a link that had been live broke.
enum class OutputState : int
{
    Starting,     ///< The output was added; its pipeline is being set up.
    Recording,    ///< A recording writes its file.
    Connecting,   ///< A live output makes its first connection.
    Live,         ///< A live output's server took the stream.
    Reconnecting, ///< A live output's link broke after it had been live; it is being reopened.
    /// The output cannot write. For a recording this is final (its file failed to write, or
    /// its volume filled up); a live output whose attempts fail keeps trying at a growing
    /// interval and goes Live when one succeeds. The reason says why.
    Failed,
    Stopped ///< The output was removed or the job stopped; nothing more is written.
};

/// The name of a state as a word ("starting", "recording", "connecting", "live",
/// "reconnecting", "failed", "stopped").
inline const char* outputStateName(OutputState state)
{
    switch (state) {
    case OutputState::Starting:
        return "starting";
    case OutputState::Recording:
        return "recording";
    case OutputState::Connecting:
        return "connecting";
    case OutputState::Live:
        return "live";
    case OutputState::Reconnecting:
        return "reconnecting";
    case OutputState::Failed:
        return "failed";
    case OutputState::Stopped:
        return "stopped";
    }
    return "unknown";
}

/// A snapshot of one output, taken by value (Strevo::outputStats, IStrevoObserver::outputStats).
/// Counts run from the moment the output was added and never go back, time splits included;
/// the replay fields say what a replay buffer holds at the moment.
struct OutputStats
{
    OutputState state = OutputState::Starting; ///< The state last reported to the observer.
    long long framesWritten = 0;               ///< Video frames given to the output's muxer.
    /// Video frames lost before encoding: a full hand-off or pipeline queue, or an output whose
    /// video had ended.
    long long inputDrops = 0;
    long long outputDrops = 0; ///< Encoded frames the pipeline could not write (skipped).
    long long audioDrops = 0;  ///< Audio buffers lost (full queues) before encoding.
    /// Packets a live output discarded while it was not connected or for a backlog.
    long long liveDrops = 0;
    /// Bytes of container that left the library: what the recording's files grew by, or what a
    /// live output's connection to its server took. Packets encoded while a live output was
    /// down are not counted.
    long long bytesDelivered = 0;
    long long files = 0;         ///< Files a recording has begun (more than one after time splits).
    double bitrateKbps = 0.0;    ///< bytesDelivered over the last second, in kbit/s.
    double secondsWritten = 0.0; ///< Seconds of video the muxer wrote.
    double liveSeconds = 0.0;    ///< How long a live output has been live.
    long long reconnects = 0;    ///< How often a live output's link broke and was reopened.
    /// The bit rate the video encoder is set to, in kbit/s: the preset's, or where a live output
    /// adapts to its link (streaming.adaptiveBitrate), the one it runs at now.
    long long videoBitrateKbps = 0;
    long long bitrateChanges = 0; ///< How often an adapting live output changed that rate.
    QString lastReason;           ///< Why it failed or its link last broke; empty when nothing did.
    int sharesEncoderWith = -1;   ///< The output whose video encoder makes this one's video; -1.
    /// A replay buffer (CodecModel::Local::replaySeconds): the encoded bytes it holds now.
    long long replayBytes = 0;
    /// A replay buffer: the seconds it holds now, sound and picture, from its first key frame.
    double replaySeconds = 0.0;
};

/// One numeric statistic, as printed by tables of statistics: `key` (a JSON key), `unit` and
/// the member it reads. The list is outputStatsFields(); a new statistic is one field above and
/// one row there.
struct OutputStatsField
{
    const char* key;  ///< The field's name, as a JSON key ("framesWritten").
    const char* unit; ///< "frames", "bytes", "kbit/s", "s"...; empty for a plain count.
    long long OutputStats::*count; ///< Null when the value is a double (see `value`).
    double OutputStats::*value;    ///< Null when the value is a count.
};

/// The numeric statistics in their printing order; `*count` receives their number.
inline const OutputStatsField* outputStatsFields(int* count)
{
    static const OutputStatsField fields[] = {
        {"framesWritten", "frames", &OutputStats::framesWritten, nullptr},
        {"inputDrops", "frames", &OutputStats::inputDrops, nullptr},
        {"outputDrops", "frames", &OutputStats::outputDrops, nullptr},
        {"audioDrops", "buffers", &OutputStats::audioDrops, nullptr},
        {"liveDrops", "packets", &OutputStats::liveDrops, nullptr},
        {"bytesDelivered", "bytes", &OutputStats::bytesDelivered, nullptr},
        {"files", "files", &OutputStats::files, nullptr},
        {"bitrateKbps", "kbit/s", nullptr, &OutputStats::bitrateKbps},
        {"secondsWritten", "s", nullptr, &OutputStats::secondsWritten},
        {"liveSeconds", "s", nullptr, &OutputStats::liveSeconds},
        {"reconnects", "", &OutputStats::reconnects, nullptr},
        {"videoBitrateKbps", "kbit/s", &OutputStats::videoBitrateKbps, nullptr},
        {"bitrateChanges", "", &OutputStats::bitrateChanges, nullptr},
        {"replayBytes", "bytes", &OutputStats::replayBytes, nullptr},
        {"replaySeconds", "s", nullptr, &OutputStats::replaySeconds},
    };
    *count = static_cast<int>(sizeof(fields) / sizeof(fields[0]));
    return fields;
}

} // namespace strevo
