// strevo-cli's progress as a person sees it: the screen of a terminal (tmux) read while the job
// runs.

#include "CliRun.h"
#include "LiveServers.h"

#include <QThread>

namespace {

// A terminal of a given size, running one shell command, whose screen can be read.
class Terminal
{
public:
    Terminal(const QString& socket, int columns, const QString& command) : m_socket(socket)
    {
        tmux({"new-session", "-d", "-x", QString::number(columns), "-y", "24", command});
    }
    ~Terminal() { tmux({"kill-server"}); }

    // Every row written so far, those scrolled out of view first; a row the terminal wrapped
    // is one line again.
    QStringList screen() const
    {
        return QString::fromUtf8(tmux({"capture-pane", "-p", "-J", "-S", "-"}).out)
            .split(QLatin1Char('\n'));
    }

private:
    Probe::Result tmux(QStringList args) const
    {
        return Probe::run(QStringLiteral("tmux"), QStringList{"-S", m_socket} + args, 10000);
    }
    QString m_socket;
};

int count(const QStringList& rows, const QString& start)
{
    return static_cast<int>(std::count_if(rows.begin(), rows.end(),
                                          [&](const QString& r) { return r.startsWith(start); }));
}

} // namespace

using CliScreen = ::testing::TestWithParam<int>;

// A recording and a live output whose server never answers, 8 s on a terminal of 80 and of
// 20 columns: while it runs the terminal (its scrolled-out rows included) holds one job line
// and one line per output, none wrapped (a wrapped line cannot be redrawn in place, and every
// redraw would add rows), the
// live output's shows why it is not live; at the end the lines stay, the summary follows and
// the exit status says the live output failed.
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
    const QString recording = QStringLiteral("output 1 mp4");
    const QString live = QStringLiteral("output 2 rtmp");
    auto statusLines = [&](const QStringList& rows) {
        QStringList lines;
        for (const QString& r : rows)
            if (r.startsWith(QLatin1String("time ")) || r.startsWith(recording) ||
                r.startsWith(live))
                lines << r;
        return lines;
    };

    // Read the screen a few times while the job runs: after 3 s the live output has failed
    // to connect more than once.
    QThread::sleep(3);
    for (int look = 0; look < 3; ++look) {
        SCOPED_TRACE(look);
        const QStringList rows = terminal.screen();
        const QStringList lines = statusLines(rows);
        EXPECT_EQ(count(lines, QStringLiteral("time ")), 1) << rows.join('\n').toStdString();
        EXPECT_EQ(count(lines, recording), 1) << rows.join('\n').toStdString();
        EXPECT_EQ(count(lines, live), 1) << rows.join('\n').toStdString();
        for (const QString& line : lines)
            EXPECT_LT(line.size(), columns) << line.toStdString();
        if (columns >= 80) {
            EXPECT_TRUE(lines.filter(live).value(0).contains(QLatin1String("failed  0 kbit/s")))
                << rows.join('\n').toStdString();
        }
        QThread::msleep(1200);
    }

    QStringList end;
    for (int i = 0; i < 150 && end.filter(QStringLiteral("exit=")).isEmpty(); ++i) {
        QThread::msleep(200);
        end = terminal.screen();
    }
    EXPECT_TRUE(end.contains(QStringLiteral("exit=1"))) << end.join('\n').toStdString();
    EXPECT_EQ(count(statusLines(end), QStringLiteral("time ")), 1) << end.join('\n').toStdString();
    EXPECT_TRUE(QFileInfo(dir.filePath(QStringLiteral("out/screen.mp4"))).size() > 0);
}

INSTANTIATE_TEST_SUITE_P(Widths, CliScreen, ::testing::Values(80, 20));
