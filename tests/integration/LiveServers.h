#pragma once

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QStringList>
#include <QTemporaryDir>

#include "common/AVHandles.h"

#include <arpa/inet.h>
#include <csignal>
#include <functional>
#include <sys/socket.h>

// Real servers for the live-output tests on 127.0.0.1 and free ports, each in a temporary folder
// of its own and stopped by its destructor even when a test fails.
namespace live {

// A port on 127.0.0.1 that was free a moment ago (0 on failure).
inline int freePort(int type = SOCK_STREAM)
{
    UniqueFd fd(::socket(AF_INET, type | SOCK_CLOEXEC, 0));
    sockaddr_in a{AF_INET, 0, {htonl(INADDR_LOOPBACK)}, {}};
    socklen_t length = sizeof(a);
    const bool bound = ::bind(fd.get(), reinterpret_cast<sockaddr*>(&a), length) == 0 &&
                       ::getsockname(fd.get(), reinterpret_cast<sockaddr*>(&a), &length) == 0;
    return bound ? ntohs(a.sin_port) : 0;
}

inline QByteArray readFile(const QString& path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

// True when a process listens on the TCP port (or has the UDP port open), read from the kernel's
// socket tables: a one-shot listener such as "ffmpeg -listen 1" would take a test connection.
inline bool portBound(int port, bool udp)
{
    const QByteArray local = QByteArray::number(port, 16).toUpper().rightJustified(4, '0');
    for (const char* table : {"tcp", "tcp6", "udp", "udp6"}) {
        const QByteArray lines =
            (table[0] == 'u') == udp ? readFile("/proc/net/" + QString(table)) : "";
        for (const QByteArray& line : lines.split('\n')) {
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

    int port() const { return m_port; }
    QString path(const QString& file) const { return m_dir.filePath(file); }
    QString log() const { return QString::fromLocal8Bit(readFile(path(m_name + ".log"))); }

    // SIGSTOP or SIGCONT: a server that stops reading while its kernel holds the connection.
    void freeze(bool frozen)
    {
        if (m_process && m_process->state() != QProcess::NotRunning)
            ::kill(pid_t(m_process->processId()), frozen ? SIGSTOP : SIGCONT);
    }

    // Sends `number` to the running program.
    void signal(int number)
    {
        if (m_process && m_process->state() != QProcess::NotRunning)
            ::kill(pid_t(m_process->processId()), number);
    }

    // Sends `signal` and waits until the program has exited (killed after 10 s).
    void stop(int signal = SIGTERM)
    {
        if (m_process && m_process->state() != QProcess::NotRunning) {
            ::kill(pid_t(m_process->processId()), SIGCONT); // a frozen one must see the signal
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
        QFile file(path(m_name + ".conf"));
        if (!file.open(QIODevice::WriteOnly) || file.write(config.toUtf8()) < 0)
            return false;
        file.close();
        m_process = std::make_unique<QProcess>();
        m_process->setStandardInputFile(QProcess::nullDevice());
        const QString log = path(m_name + QStringLiteral(".log"));
        m_process->setStandardOutputFile(m_stdout.isEmpty() ? log : m_stdout,
                                         m_stdout.isEmpty() ? QIODevice::Append
                                                            : QIODevice::Truncate);
        m_process->setStandardErrorFile(log, QIODevice::Append);
        m_process->start(program, args);
        return m_process->waitForStarted(10000) &&
               (m_port == 0 || waitUntil([this] { return portBound(m_port, m_udp); }));
    }
    // What the program writes to its standard output goes to `file` instead of the log.
    void setStdout(const QString& file) { m_stdout = file; }
    // Waits up to 10 s, while the program runs, for `ready`.
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
    int m_port; // 0: the program binds no known port (it calls)
    bool m_udp;
    QString m_stdout;
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
    // Publish requests the server has seen so far.
    int publishRequests() const { return readFile(path("error.log")).count("publish: name="); }
    // Clients that have connected so far, over any protocol.
    int connections() const { return readFile(path("error.log")).count("client connected"); }
    // Waits until nginx has seen `count` publishers end their streams so far (it has then
    // written and closed their recordings).
    bool waitForStreamsEnded(int count = 1)
    {
        return waitUntil(
            [&] { return readFile(path("error.log")).count("deleteStream") >= count; });
    }
    bool start()
    {
        QDir().mkpath(recordDir());
        // In /usr/sbin, which is not on the search path of every user.
        return run(
            QFile::exists("/usr/sbin/nginx") ? "/usr/sbin/nginx" : "nginx",
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

// stunnel, TLS on port() forwarded to 127.0.0.1:target (an RTMPS front for NginxRtmp), with a
// self-signed certificate (a client trusts it through certFile()) that names 127.0.0.1 as an IP
// address, or only example.org.
class TlsFront : public ServerProcess
{
public:
    explicit TlsFront(int target, bool otherHost = false)
        : ServerProcess(QStringLiteral("stunnel"), freePort()), m_target(target),
          m_otherHost(otherHost)
    {
    }
    QString url() const { return QStringLiteral("rtmps://127.0.0.1:%1/live").arg(port()); }
    QString certFile() const { return path("cert.pem"); }
    bool start()
    {
        QProcess openssl;
        openssl.setStandardErrorFile(path("openssl.log"));
        openssl.start(QStringLiteral("openssl"),
                      QStringLiteral("req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 "
                                     "-nodes -days 1 -subj /CN=%1 -addext subjectAltName=%2 "
                                     "-keyout %3 -out %4")
                          .arg(m_otherHost ? "example.org" : "127.0.0.1",
                               m_otherHost ? "DNS:example.org" : "IP:127.0.0.1", path("key.pem"),
                               certFile())
                          .split(' '));
        return openssl.waitForFinished(30000) && openssl.exitCode() == 0 &&
               run(QStringLiteral("stunnel4"), {path("stunnel.conf")},
                   QStringLiteral("foreground = yes\npid =\n[front]\naccept = 127.0.0.1:%1\n"
                                  "connect = 127.0.0.1:%2\ncert = %3\nkey = %4\n")
                       .arg(port())
                       .arg(m_target)
                       .arg(certFile(), path("key.pem")));
    }

private:
    int m_target;
    bool m_otherHost;
};

// ffmpeg receiving one stream into output() as MPEG-TS: "tcp" (listening), "udp", "srt"
// (listener) or "rtsp" (the server a publisher announces to). Its UDP input ignores signals
// while no data comes: it ends 3 s after the last datagram.
class FfmpegReceiver : public ServerProcess
{
public:
    explicit FfmpegReceiver(const QString& scheme)
        : ServerProcess("ffmpeg",
                        freePort(scheme == "udp" || scheme == "srt" ? SOCK_DGRAM : SOCK_STREAM),
                        scheme == "udp" || scheme == "srt"),
          m_scheme(scheme)
    {
    }
    QString url() const
    {
        return QStringLiteral("%1://127.0.0.1:%2%3")
            .arg(m_scheme)
            .arg(port())
            .arg(m_scheme == "rtsp" ? "/live" : "");
    }
    QString output() const { return path("out.ts"); }
    bool start()
    {
        const QStringList input =
            m_scheme == "rtsp" ? QStringList{"-rtsp_flags", "listen", "-i", url()}
                               : QStringList{"-f", "mpegts", "-i",
                                             url() + (m_scheme == "tcp"   ? "?listen=1"
                                                      : m_scheme == "srt" ? "?mode=listener"
                                                                          : "?timeout=3000000")};
        return run("ffmpeg", QStringList{"-nostdin", "-nostats", "-loglevel", "warning", "-y",
                                         "-analyzeduration", "1000000"} +
                                 input + QStringList{"-c", "copy", output()});
    }
    void finish() { stop(SIGINT); } // output() is then complete

private:
    QString m_scheme;
};

// srt-live-transmit at the far end of an SRT output, writing what it receives to output(): a
// "listener" on `port`, a "caller" to `port`, or "rendezvous" from `port` with the output's
// `remote`; `options` are more URL parameters ("passphrase=...&pbkeylen=24").
class SrtLiveTransmit : public ServerProcess
{
public:
    SrtLiveTransmit(QString mode, int port, QString options = {}, int remote = 0)
        : ServerProcess("srt-live-transmit", mode == "caller" ? 0 : port, true),
          m_mode(std::move(mode)), m_target(port), m_remote(remote), m_options(std::move(options))
    {
        setStdout(output());
    }
    QString output() const { return path("out.ts"); }
    bool start()
    {
        QString url = m_mode == "listener" ? QStringLiteral("srt://:%1?mode=listener").arg(m_target)
                      : m_mode == "caller"
                          ? QStringLiteral("srt://127.0.0.1:%1?mode=caller").arg(m_target)
                          : QStringLiteral("srt://127.0.0.1:%1?mode=rendezvous&port=%2")
                                .arg(m_remote)
                                .arg(m_target);
        if (!m_options.isEmpty())
            url += '&' + m_options;
        return run("srt-live-transmit", {"-a:yes", "-loglevel:error", url, "file://con"});
    }
    void finish() { stop(SIGINT); } // output() is then complete

private:
    QString m_mode;
    int m_target;
    int m_remote;
    QString m_options;
};

// peers/rtmp_peer.py, an RTMP server that misbehaves on purpose in the `mode` and with the
// `garbage` the script describes.
class ScriptedRtmpPeer : public ServerProcess
{
public:
    explicit ScriptedRtmpPeer(QString mode, QString garbage = QStringLiteral("mix"))
        : ServerProcess(QStringLiteral("rtmp_peer"), freePort()), m_mode(std::move(mode)),
          m_garbage(std::move(garbage))
    {
    }
    QString url() const { return QStringLiteral("rtmp://127.0.0.1:%1/live").arg(port()); }
    // Connections accepted so far.
    int connections() const { return readFile(path("connections")).trimmed().toInt(); }
    bool start()
    {
        return run(QStringLiteral("python3"),
                   {QStringLiteral(STREVO_SOURCE_DIR "/tests/integration/peers/rtmp_peer.py"),
                    "--port", QString::number(port()), "--mode", m_mode, "--garbage", m_garbage,
                    "--count-file", path("connections")});
    }

private:
    QString m_mode;
    QString m_garbage;
};

// A relay on port() to 127.0.0.1:target that carries at most `bytesPerSecond` towards it
// (peers/throttle_relay.py); faster() raises that to `fasterBytesPerSecond`.
class ThrottleRelay : public ServerProcess
{
public:
    ThrottleRelay(int target, int bytesPerSecond, int fasterBytesPerSecond)
        : ServerProcess(QStringLiteral("throttle_relay"), freePort()), m_target(target),
          m_rate(bytesPerSecond), m_faster(fasterBytesPerSecond)
    {
    }
    QString url() const { return QStringLiteral("rtmp://127.0.0.1:%1/live").arg(port()); }
    bool start()
    {
        return run(QStringLiteral("python3"),
                   {QStringLiteral(STREVO_SOURCE_DIR "/tests/integration/peers/throttle_relay.py"),
                    QString::number(port()), QString::number(m_target), QString::number(m_rate),
                    QString::number(m_faster)});
    }
    void faster() { signal(SIGUSR1); }

private:
    int m_target, m_rate, m_faster;
};

} // namespace live
