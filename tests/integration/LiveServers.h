#pragma once

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QStringList>
#include <QTemporaryDir>

#include <arpa/inet.h>
#include <csignal>
#include <functional>
#include <memory>
#include <sys/socket.h>
#include <unistd.h>

// Real servers for the live-output tests, on 127.0.0.1 and free ports, configured from files
// in a temporary folder of their own and stopped by their destructors even when a test fails:
//
//   live::NginxRtmp nginx;                         // url(): rtmp://127.0.0.1:<port>/live
//   ASSERT_TRUE(nginx.start()) << nginx.log().toStdString();
//   live::TlsFront tls(nginx.port());              // url(): rtmps://127.0.0.1:<port>/live
//   ASSERT_TRUE(tls.start());
//   ... publish to nginx.url() + "/key" ...; nginx.stop(); nginx.start(); ...
//   nginx.stop();                                  // the recordings are complete now
//   for (const QString& flv : nginx.recordings()) ...
//
//   live::FfmpegReceiver rx(live::FfmpegReceiver::Udp);  // Tcp, Udp or Rtsp; url()
//   ASSERT_TRUE(rx.start());
//   ... stream to rx.url() ...; rx.finish();       // SIGINT, waits: rx.output() is complete
namespace live {

// A socket bound to 127.0.0.1 on a port the system picks; `port` receives it.
inline int boundSocket(int type, int* port)
{
    const int fd = ::socket(AF_INET, type | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof(a);
    *port = fd >= 0 && ::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof(a)) == 0 &&
                    ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &length) == 0
                ? ntohs(a.sin_port)
                : 0;
    return fd;
}

// A port that was free a moment ago.
inline int freePort(int type = SOCK_STREAM)
{
    int port = 0;
    const int fd = boundSocket(type, &port);
    if (fd >= 0)
        ::close(fd);
    return port;
}

// True when a process listens on the TCP port (or has the UDP port open). Read from the
// kernel's socket tables, so the check connects to nothing: a one-shot listener such as
// "ffmpeg -listen 1" would take a test connection for its client.
inline bool portBound(int port, bool udp)
{
    const QByteArray local = QByteArray::number(port, 16).toUpper().rightJustified(4, '0');
    for (const char* table : {"tcp", "tcp6", "udp", "udp6"}) {
        QFile f(QStringLiteral("/proc/net/") + QLatin1String(table));
        if ((table[0] == 'u') != udp || !f.open(QIODevice::ReadOnly))
            continue;
        // Columns: number, local address:port, remote address, state (0A listening, 07 open).
        for (const QByteArray& line : f.readAll().split('\n')) {
            const QList<QByteArray> c = line.simplified().split(' ');
            if (c.size() > 3 && c[1].endsWith(':' + local) && c[3] == (udp ? "07" : "0A"))
                return true;
        }
    }
    return false;
}

// One server program with its own folder; what it prints goes to <folder>/<name>.log.
class ServerProcess
{
public:
    ServerProcess(QString name, int port, bool udp = false)
        : m_name(std::move(name)), m_port(port), m_udp(udp)
    {
    }
    virtual ~ServerProcess() { stop(); }
    ServerProcess(const ServerProcess&) = delete;
    ServerProcess& operator=(const ServerProcess&) = delete;

    int port() const { return m_port; }
    QString path(const QString& file) const { return m_dir.filePath(file); }
    QString log() const
    {
        QFile f(path(m_name + QStringLiteral(".log")));
        return f.open(QIODevice::ReadOnly) ? QString::fromLocal8Bit(f.readAll()) : QString();
    }

    // Sends `signal` and waits until the program has exited (killed after 10 s).
    void stop(int signal = SIGTERM)
    {
        if (m_process && m_process->state() != QProcess::NotRunning) {
            ::kill(pid_t(m_process->processId()), signal);
            if (!m_process->waitForFinished(10000)) {
                m_process->kill();
                m_process->waitForFinished();
            }
        }
        m_process.reset();
    }

protected:
    // Runs the program and waits until its port is bound.
    bool run(const QString& program, const QStringList& args, const QString& config = {})
    {
        stop();
        QFile file(path(m_name + QStringLiteral(".conf")));
        if (!config.isEmpty() &&
            (!file.open(QIODevice::WriteOnly) || file.write(config.toUtf8()) < 0))
            return false;
        file.close();
        m_process = std::make_unique<QProcess>();
        m_process->setStandardInputFile(QProcess::nullDevice());
        m_process->setProcessChannelMode(QProcess::MergedChannels);
        m_process->setStandardOutputFile(path(m_name + QStringLiteral(".log")), QIODevice::Append);
        m_process->start(program, args);
        return m_process->waitForStarted(10000) &&
               waitUntil([this] { return portBound(m_port, m_udp); });
    }
    // Waits up to 10 s, while the program runs, for `ready`. The servers give no sign of their
    // own, so the condition is checked between short waits for the program's exit.
    bool waitUntil(const std::function<bool()>& ready)
    {
        for (int i = 0; i < 500 && m_process; ++i) {
            if (ready())
                return true;
            if (m_process->waitForFinished(20))
                return false;
        }
        return false;
    }
    QString dir() const { return m_dir.path(); }

private:
    QTemporaryDir m_dir;
    QString m_name;
    int m_port;
    bool m_udp;
    std::unique_ptr<QProcess> m_process;
};

// nginx with its RTMP module: application "live" records every published stream as .flv into
// recordDir(). start() again after stop() serves the same port and folder.
class NginxRtmp : public ServerProcess
{
public:
    NginxRtmp() : ServerProcess(QStringLiteral("nginx"), freePort()) {}
    QString url() const { return QStringLiteral("rtmp://127.0.0.1:%1/live").arg(port()); }
    QString recordDir() const { return path(QStringLiteral("record")); }
    QStringList recordings() const // oldest name first
    {
        QStringList files;
        for (const QString& f : QDir(recordDir()).entryList({"*.flv"}, QDir::Files, QDir::Name))
            files << QDir(recordDir()).filePath(f);
        return files;
    }
    // Waits until nginx has seen `count` publishers end their streams so far (it has then
    // written and closed their recordings).
    bool waitForStreamsEnded(int count = 1)
    {
        return waitUntil([&] {
            QFile f(path("error.log"));
            return f.open(QIODevice::ReadOnly) && f.readAll().count("deleteStream") >= count;
        });
    }
    bool start()
    {
        QDir().mkpath(recordDir());
        return run(
            QStringLiteral("nginx"),
            {"-e", path("error.log"), "-p", dir(), "-c", path("nginx.conf")},
            QStringLiteral("daemon off; master_process off; worker_processes 1;\n"
                           "load_module /usr/lib/nginx/modules/ngx_rtmp_module.so;\n"
                           "error_log %1/error.log info; pid %1/nginx.pid;\n"
                           "events { worker_connections 64; }\n"
                           "rtmp { server { listen 127.0.0.1:%2; application live {\n"
                           "  live on; record all; record_path %3; record_unique on; } } }\n")
                .arg(dir())
                .arg(port())
                .arg(recordDir()));
    }
};

// stunnel with a self-signed certificate made at start: TLS on port() forwarded to
// 127.0.0.1:target (an RTMPS front for NginxRtmp).
class TlsFront : public ServerProcess
{
public:
    explicit TlsFront(int target)
        : ServerProcess(QStringLiteral("stunnel"), freePort()), m_target(target)
    {
    }
    QString url() const { return QStringLiteral("rtmps://127.0.0.1:%1/live").arg(port()); }
    bool start()
    {
        QProcess openssl;
        openssl.start(QStringLiteral("openssl"),
                      {"req", "-x509", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1",
                       "-nodes", "-days", "1", "-subj", "/CN=127.0.0.1", "-keyout", path("key.pem"),
                       "-out", path("cert.pem")});
        return openssl.waitForFinished(30000) && openssl.exitCode() == 0 &&
               run(QStringLiteral("stunnel4"), {path("stunnel.conf")},
                   QStringLiteral("foreground = yes\npid =\n[front]\naccept = 127.0.0.1:%1\n"
                                  "connect = 127.0.0.1:%2\ncert = %3\nkey = %4\n")
                       .arg(port())
                       .arg(m_target)
                       .arg(path("cert.pem"), path("key.pem")));
    }

private:
    int m_target;
};

// ffmpeg receiving one stream and copying it into output() as MPEG-TS: listening on TCP,
// reading UDP, or as the RTSP server a publisher announces to.
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
        return QStringLiteral("%1://127.0.0.1:%2%3")
            .arg(m_kind == Tcp   ? "tcp"
                 : m_kind == Udp ? "udp"
                                 : "rtsp")
            .arg(port())
            .arg(m_kind == Rtsp ? "/live" : "");
    }
    QString output() const { return path(QStringLiteral("out.ts")); }
    bool start()
    {
        QStringList args{"-nostdin", "-nostats", "-loglevel", "warning", "-y"};
        if (m_kind == Rtsp)
            args << "-rtsp_flags"
                 << "listen"
                 << "-i" << url();
        else
            args << "-f"
                 << "mpegts"
                 << "-i" << url() + (m_kind == Tcp ? "?listen=1" : "");
        return run(QStringLiteral("ffmpeg"), args << "-c"
                                                  << "copy" << output());
    }
    // Ends the reception as a user does, so that output() is a complete file.
    void finish() { stop(SIGINT); }

private:
    Kind m_kind;
};

// Accepts TCP connections (the kernel completes them) and never answers: a hanging server.
class SilentServer
{
public:
    SilentServer() : m_fd(boundSocket(SOCK_STREAM, &m_port))
    {
        if (m_fd < 0 || ::listen(m_fd, 8) != 0)
            m_port = 0;
    }
    ~SilentServer() { ::close(m_fd); }
    SilentServer(const SilentServer&) = delete;
    SilentServer& operator=(const SilentServer&) = delete;
    int port() const { return m_port; }

private:
    int m_port = 0;
    int m_fd;
};

} // namespace live
