#pragma once

#include <QString>

struct AVSync;

// The words and numbers strevo-cli's progress line, messages and summary share. Stateless.
class ReportText
{
public:
    // Longest reason of a live output that the progress line and its messages show; the
    // summary allows more.
    static constexpr int kProgressReasonChars = 60;
    static constexpr int kSummaryReasonChars = 300;

    // "12.3 kB", "4.56 MB", "1.23 GB" (powers of 1000).
    static QString size(long long bytes);
    // "850 kbit/s", "2.10 Mbit/s" (powers of 1000).
    static QString rate(double kbps);
    // "hh:mm:ss.mmm"; negative times are 0.
    static QString time(double seconds);
    // An SRT output's link: whether a peer is connected, and libsrt's view of it.
    static QString link(const AVSync& sync);
    // A LiveState value as a word: "connecting", "live", "reconnecting", "stopped", "waiting".
    static const char* liveState(int state);
    // A live output's reason on one line, at most `limit` characters ("..." marks a cut).
    static QString shortReason(const QString& reason, int limit);
};
