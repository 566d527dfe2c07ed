#pragma once

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>
#include <QTextStream>

#include <arpa/inet.h>
#include <csignal>
#include <memory>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

// Real servers for the live-output tests, on 127.0.0.1 and free ports, configured from files
// generated in a temporary folder, and stopped by their destructors even when a test fails.
//
//   NginxRtmp nginx;                        // rtmp://127.0.0.1:<port>/live, records everything
//   ASSERT_TRUE(nginx.start()) << nginx.log();
//   TlsFront tls(nginx.port());             // rtmps://127.0.0.1:<port>/live -> nginx
//   ASSERT_TRUE(tls.start()) << tls.log();
//   ... publish to nginx.url() + "/key" or tls.url() + "/key" ...
//   nginx.stop();                           // recordings are complete once it has exited
//   for (const QString& flv : nginx.recordings()) ...
//
//   FfmpegReceiver rx(FfmpegReceiver::Tcp); // also Udp, Rtsp; writes what arrives to rx.output()
//   ASSERT_TRUE(rx.start()) << rx.log();
//   ... stream MPEG-TS to rx.url() ...
//   rx.stop();                              // SIGINT, waits: the file is complete
namespace live {

// A port that was free a moment ago (bound to 0 and released again).
inline int freePort(int type = SOCK_STREAM)
{
    const int fd = ::socket(AF_INET, type, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof(a);
    int port = 0;
    if (fd >= 0 && ::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof(a)) == 0 &&
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &length) == 0)
        port = ntohs(a.sin_port);
    if (fd >= 0)
        ::close(fd);
    return port;
}

// True when some process listens on the TCP port (or has the UDP port bound), read from the
// kernel's socket tables so that the check connects to nothing: a one-shot listener such as
// "ffmpeg -listen 1" would take a test connection for its client.
inline bool portBound(int port, bool udp)
{
    const QString portHex = QStringLiteral(":%1").arg(port, 4, 16, QLatin1Char('0')).toUpper();
    const QStringList tables = udp ? QStringList{"/proc/net/udp", "/proc/net/udp6"}
                                   : QStringList{"/proc/net/tcp", "/proc/net/tcp6"};
    for (const QString& table : tables) {
        QFile f(table);
        if (!f.open(QIODevice::ReadOnly))
            continue;
        for (const QByteArray& line : f.readAll().split('\n')) {
            const QList<QByteArray> fields = line.simplified().split(' ');
            // fields: sl, local address, remote address, state; 0A is LISTEN, 07 an open UDP socket
            if (fields.size() > 3 && fields[1].endsWith(portHex.toLatin1()) &&
                fields[3] == (udp ? "07" : "0A"))
                return true;
        }
    }
    return false;
}

// One server program: its own temporary folder, its output in <folder>/<name>.log, and a port.
class ServerProcess
{
public:
    explicit ServerProcess(QString name, int port, bool udp = false)
        : m_name(std::move(name)), m_port(port), m_udp(udp)
    {
    }
    virtual ~ServerProcess() { stop(SIGTERM); }
    ServerProcess(const ServerProcess&) = delete;
    ServerProcess& operator=(const ServerProcess&) = delete;

    int port() const { return m_port; }
    QString dir() const { return m_dir.path(); }
    QString path(const QString& file) const { return m_dir.filePath(file); }
    // What the server printed, for failure messages.
    QString log() const
    {
        QFile f(path(m_name + QStringLiteral(".log")));
        return f.open(QIODevice::ReadOnly) ? QString::fromLocal8Bit(f.readAll()) : QString();
    }
    bool running() const { return m_process && m_process->state() != QProcess::NotRunning; }

    // Sends `signal` and waits until the program has exited (SIGKILL after 10 s).
    void stop(int signal = SIGTERM)
    {
        if (!m_process)
            return;
        if (running()) {
            ::kill(pid_t(m_process->processId()), signal);
            if (!m_process->waitForFinished(10000)) {
                m_process->kill();
                m_process->waitForFinished();
            }
        }
        m_process.reset();
    }

protected:
    // Runs the program and waits up to 10 s until its port is bound; false when it exits or
    // never binds. The servers give no other sign of being ready, so the port tables are
    // checked between short waits for the program's exit.
    bool run(const QString& program, const QStringList& args)
    {
        stop();
        m_process = std::make_unique<QProcess>();
        m_process->setStandardInputFile(QProcess::nullDevice());
        m_process->setProcessChannelMode(QProcess::MergedChannels);
        m_process->setStandardOutputFile(path(m_name + QStringLiteral(".log")), QIODevice::Append);
        m_process->setWorkingDirectory(dir());
        m_process->start(program, args);
        if (!m_process->waitForStarted(10000))
            return false;
        for (int i = 0; i < 500; ++i) {
            if (portBound(m_port, m_udp))
                return true;
            if (m_process->waitForFinished(20))
                return false;
        }
        return false;
    }

    bool writeFile(const QString& file, const QString& text) const
    {
        QFile f(path(file));
        return f.open(QIODevice::WriteOnly | QIODevice::Truncate) &&
               f.write(text.toUtf8()) == text.toUtf8().size();
    }

private:
    QTemporaryDir m_dir;
    QString m_name;
    int m_port;
    bool m_udp;
    std::unique_ptr<QProcess> m_process;
};

// nginx with its RTMP module: application "live", recording every published stream as .flv
// into recordDir(). start() may be called again after stop(): same port, same folder.
class NginxRtmp : public ServerProcess
{
public:
    NginxRtmp() : ServerProcess(QStringLiteral("nginx"), freePort()) {}

    QString url() const { return QStringLiteral("rtmp://127.0.0.1:%1/live").arg(port()); }
    QString recordDir() const { return path(QStringLiteral("record")); }
    // The recorded files, oldest name first.
    QStringList recordings() const
    {
        QStringList files;
        for (const QString& f : QDir(recordDir()).entryList({"*.flv"}, QDir::Files, QDir::Name))
            files << QDir(recordDir()).filePath(f);
        return files;
    }

    bool start()
    {
        QDir().mkpath(recordDir());
        const QString config =
            QStringLiteral("daemon off;\nmaster_process off;\nworker_processes 1;\n"
                           "load_module /usr/lib/nginx/modules/ngx_rtmp_module.so;\n"
                           "error_log %1/error.log warn;\npid %1/nginx.pid;\n"
                           "events { worker_connections 64; }\n"
                           "rtmp { server { listen 127.0.0.1:%2;\n"
                           "  application live { live on; record all; record_path %3;\n"
                           "    record_unique on; } } }\n")
                .arg(dir())
                .arg(port())
                .arg(recordDir());
        return writeFile(QStringLiteral("nginx.conf"), config) &&
               run(QStringLiteral("nginx"), {"-e", path(QStringLiteral("error.log")), "-p", dir(),
                                             "-c", path(QStringLiteral("nginx.conf"))});
    }
};

// stunnel with a self-signed certificate made at start: TLS on port() forwarded to a plain
// TCP port on 127.0.0.1 (an RTMPS front for NginxRtmp).
class TlsFront : public ServerProcess
{
public:
    explicit TlsFront(int targetPort)
        : ServerProcess(QStringLiteral("stunnel"), freePort()), m_target(targetPort)
    {
    }

    QString url() const { return QStringLiteral("rtmps://127.0.0.1:%1/live").arg(port()); }

    bool start()
    {
        QProcess openssl;
        openssl.setProcessChannelMode(QProcess::MergedChannels);
        openssl.start(QStringLiteral("openssl"),
                      {"req", "-x509", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1",
                       "-nodes", "-days", "1", "-subj", "/CN=127.0.0.1", "-keyout",
                       path(QStringLiteral("key.pem")), "-out", path(QStringLiteral("cert.pem"))});
        if (!openssl.waitForFinished(30000) || openssl.exitCode() != 0)
            return false;
        const QString config = QStringLiteral("foreground = yes\npid =\n[front]\n"
                                              "accept = 127.0.0.1:%1\nconnect = 127.0.0.1:%2\n"
                                              "cert = %3/cert.pem\nkey = %3/key.pem\n")
                                   .arg(port())
                                   .arg(m_target)
                                   .arg(dir());
        return writeFile(QStringLiteral("stunnel.conf"), config) &&
               run(QStringLiteral("stunnel4"), {path(QStringLiteral("stunnel.conf"))});
    }

private:
    int m_target;
};

// ffmpeg receiving one stream and copying it into output() without re-encoding: MPEG-TS over
// TCP (listening) or UDP, or RTSP (as the server the publisher announces to).
class FfmpegReceiver : public ServerProcess
{
public:
    enum Kind
    {
        Tcp,
        Udp,
        Rtsp
    };
    explicit FfmpegReceiver(Kind kind)
        : ServerProcess(QStringLiteral("ffmpeg"), freePort(kind == Udp ? SOCK_DGRAM : SOCK_STREAM),
                        kind == Udp),
          m_kind(kind)
    {
    }

    QString url() const
    {
        switch (m_kind) {
        case Tcp:
            return QStringLiteral("tcp://127.0.0.1:%1").arg(port());
        case Udp:
            return QStringLiteral("udp://127.0.0.1:%1").arg(port());
        case Rtsp:
            break;
        }
        return QStringLiteral("rtsp://127.0.0.1:%1/live").arg(port());
    }
    QString output() const { return path(QStringLiteral("out.ts")); }

    bool start()
    {
        QStringList args{"-nostdin", "-nostats", "-loglevel", "warning", "-y"};
        if (m_kind == Tcp)
            args << "-f"
                 << "mpegts"
                 << "-i" << url() + QStringLiteral("?listen=1");
        else if (m_kind == Udp)
            args << "-f"
                 << "mpegts"
                 << "-i" << url();
        else
            args << "-rtsp_flags"
                 << "listen"
                 << "-i" << url();
        args << "-c"
             << "copy" << output();
        return run(QStringLiteral("ffmpeg"), args);
    }
    // Ends the reception the way a user does (SIGINT), so the file is finished.
    void finish() { stop(SIGINT); }

private:
    Kind m_kind;
};

// Accepts TCP connections (the kernel completes them) and never answers: a server that hangs.
class SilentServer
{
public:
    SilentServer() : m_fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0))
    {
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof(a);
        if (m_fd >= 0 && ::bind(m_fd, reinterpret_cast<sockaddr*>(&a), sizeof(a)) == 0 &&
            ::listen(m_fd, 8) == 0 &&
            ::getsockname(m_fd, reinterpret_cast<sockaddr*>(&a), &length) == 0)
            m_port = ntohs(a.sin_port);
    }
    ~SilentServer()
    {
        if (m_fd >= 0)
            ::close(m_fd);
    }
    SilentServer(const SilentServer&) = delete;
    SilentServer& operator=(const SilentServer&) = delete;
    int port() const { return m_port; }

private:
    int m_fd;
    int m_port = 0;
};

} // namespace live
