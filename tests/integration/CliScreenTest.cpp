// strevo-cli's progress as a person sees it: the screen of a terminal (tmux) read while the job
// runs.

#include "CliRun.h"
#include "LiveServers.h"

#include <QThread>

namespace {

// A terminal (tmux) of `columns`, running `command`, whose rows can be read: every row
// written so far, those scrolled out of view first, a row the terminal wrapped one line again.
struct Terminal
{
    Terminal(const QString& socket, int columns, const QString& command) : socket(socket)
    {
        tmux({"new-session", "-d", "-x", QString::number(columns), "-y", "24", command});
    }
    ~Terminal() { tmux({"kill-server"}); }
    QStringList screen() const
    {
        return QString::fromUtf8(tmux({"capture-pane", "-p", "-J", "-S", "-"}).out).split('\n');
    }
    Probe::Result tmux(const QStringList& args) const
    {
        return Probe::run(QStringLiteral("tmux"), QStringList{"-S", socket} + args, 10000);
    }
    QString socket;
};

} // namespace

using CliScreen = ::testing::TestWithParam<int>;

// A recording and a live output whose server never answers, 8 s on a terminal of 80 and of
// 20 columns: while it runs the terminal (its scrolled-out rows included) holds one job line
// and one line per output, none wrapped (a wrapped line cannot be redrawn in place, and every
// redraw would add rows), the live output's shows why it is not live; at the end the lines
// stay, the summary follows and the exit status says the live output failed.
TEST_P(CliScreen, OneJobLineAndOneLinePerOutputNoneWrapped)
{
    const int columns = GetParam();
    QTemporaryDir dir;
    const QString job = writeFile(dir, "screen.json",
                                  QStringLiteral(R"({
        "project": {"videoOutput": {"width": 320, "height": 240, "frameRate": 30}},
        "outputs": [{"videoCodec": {"codecName": "X264", "bitrate": 500},
                     "audioCodec": {"enabled": false}, "container": {"format": "mp4"}},
                    {"videoCodec": {"codecName": "X264", "bitrate": 500},
                     "audioCodec": {"enabled": false}, "streaming": {"enabled": true,
                     "url": "rtmp://127.0.0.1:%1/live", "streamKey": "k"}}]})")
                                      .arg(live::freePort())
                                      .toUtf8());
    const Terminal terminal(
        dir.filePath(QStringLiteral("tmux")), columns,
        QStringLiteral("%1 %2 -o %3 -d 8; echo exit=$?; sleep 60")
            .arg(QStringLiteral(STREVO_CLI), job, dir.filePath(QStringLiteral("out"))));
    // The status lines: the job's, the recording's, the live output's, each counted.
    const QStringList starts{"time ", "output 1 mp4", "output 2 rtmp"};
    auto counts = [&](const QStringList& rows) {
        QVector<int> n(3);
        for (const QString& r : rows)
            for (int i = 0; i < 3; ++i)
                if (r.startsWith(starts[i])) {
                    ++n[i];
                    EXPECT_LT(r.size(), columns) << r.toStdString();
                    EXPECT_TRUE(i < 2 || columns < 80 ||
                                r.contains(QLatin1String("failed  0 kbit")));
                }
        return n;
    };

    // Read the screen a few times while the job runs: after 3 s the live output has failed
    // to connect more than once.
    QThread::sleep(3);
    for (int look = 0; look < 3; ++look, QThread::msleep(1200)) {
        const QStringList rows = terminal.screen();
        EXPECT_EQ(counts(rows), QVector<int>({1, 1, 1})) << rows.join('\n').toStdString();
    }

    QStringList end;
    for (int i = 0; i < 150 && end.filter(QStringLiteral("exit=")).isEmpty(); ++i) {
        QThread::msleep(200);
        end = terminal.screen();
    }
    EXPECT_TRUE(end.contains(QStringLiteral("exit=1"))) << end.join('\n').toStdString();
    EXPECT_EQ(counts(end).value(0), 1) << end.join('\n').toStdString();
    EXPECT_TRUE(QFileInfo(dir.filePath(QStringLiteral("out/screen.mp4"))).size() > 0);
}

INSTANTIATE_TEST_SUITE_P(Widths, CliScreen, ::testing::Values(80, 20));
