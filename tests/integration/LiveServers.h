#pragma once

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QStringList>
#include <QTemporaryDir>
#include <QThread>

#include "common/AVHandles.h"

#include <arpa/inet.h>
#include <atomic>
#include <csignal>
#include <functional>
#include <poll.h>
#include <random>
#include <sys/socket.h>
#include <thread>

// Real servers for the live-output tests on 127.0.0.1 and free ports, configured in a
// temporary folder of their own, stopped by their destructors even when a test fails:
//   live::NginxRtmp nginx; ASSERT_TRUE(nginx.start());  // publish to nginx.url() + "/key"
//   live::TlsFront tls(nginx.port()); ASSERT_TRUE(tls.start());  // tls.url(): rtmps://...
//                                    // trusted with streaming.caFile = tls.certFile()
//   nginx.waitForStreamsEnded(); nginx.stop();           // then read nginx.recordings()
//   live::FfmpegReceiver rx("udp");                      // or "tcp", "rtsp", "srt": rx.url()
//   ASSERT_TRUE(rx.start()); ...; rx.finish();           // rx.output() is complete
//   live::SrtLiveTransmit peer("listener", port);        // likewise for an SRT output
//   live::ScriptedRtmpPeer peer("garbage"); ASSERT_TRUE(peer.start());  // a server that
//                                    // misbehaves on purpose; peer.connections() counts attempts
namespace live {

// A socket bound to 127.0.0.1 on a port the system picks, and that port (0 on failure).
inline UniqueFd boundSocket(int type, int* port)
{
    UniqueFd fd(::socket(AF_INET, type | SOCK_CLOEXEC, 0));
    sockaddr_in a{AF_INET, 0, {htonl(INADDR_LOOPBACK)}, {}};
    socklen_t length = sizeof(a);
    const bool bound = ::bind(fd.get(), reinterpret_cast<sockaddr*>(&a), length) == 0 &&
                       ::getsockname(fd.get(), reinterpret_cast<sockaddr*>(&a), &length) == 0;
    *port = bound ? ntohs(a.sin_port) : 0;
    return fd;
}

// A port that was free a moment ago.
inline int freePort(int type = SOCK_STREAM)
{
    int port = 0;
    boundSocket(type, &port);
    return port;
}

inline QByteArray readFile(const QString& path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

// True when a process listens on the TCP port (or has the UDP port open). Read from the
// kernel's socket tables, so the check connects to nothing: a one-shot listener such as
// "ffmpeg -listen 1" would take a test connection for its client.
inline bool portBound(int port, bool udp)
{
    const QByteArray local = QByteArray::number(port, 16).toUpper().rightJustified(4, '0');
    for (const char* table : {"tcp", "tcp6", "udp", "udp6"}) {
        // Columns: number, local address:port, remote address, state (0A listening, 07 open).
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

    // Freezes the program (SIGSTOP) or lets it go on (SIGCONT): a server that stops reading,
    // whose kernel still holds the connection.
    void freeze(bool frozen)
    {
        if (m_process && m_process->state() != QProcess::NotRunning)
            ::kill(pid_t(m_process->processId()), frozen ? SIGSTOP : SIGCONT);
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
// certificate that openssl makes at start():
//   SelfSigned: self-signed for 127.0.0.1; a client trusts it through certFile().
//   CaSigned:   for 127.0.0.1, issued by a CA made with it; trusted through caFile().
//   OtherHost:  issued by that CA for example.org only, so it does not match 127.0.0.1.
// The certificates for 127.0.0.1 name it as an IP address in their subjectAltName.
class TlsFront : public ServerProcess
{
public:
    enum class Cert
    {
        SelfSigned,
        CaSigned,
        OtherHost,
        Expired // signed by the CA, valid for no time at all
    };

    explicit TlsFront(int target, Cert cert = Cert::SelfSigned)
        : ServerProcess(QStringLiteral("stunnel"), freePort()), m_target(target), m_cert(cert)
    {
    }
    QString url() const { return QStringLiteral("rtmps://127.0.0.1:%1/live").arg(port()); }
    QString certFile() const { return path("cert.pem"); } // the server's certificate
    QString caFile() const { return path("ca.pem"); }     // CaSigned and OtherHost only
    bool start()
    {
        const QString newKey =
            QStringLiteral("-newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -days 1");
        const QString name = m_cert == Cert::OtherHost ? "DNS:example.org" : "IP:127.0.0.1";
        const QString cn = m_cert == Cert::OtherHost ? "example.org" : "127.0.0.1";
        bool made;
        if (m_cert == Cert::SelfSigned) {
            made = openssl(QStringLiteral("req -x509 %1 -subj /CN=%2 -addext subjectAltName=%3 "
                                          "-keyout %4 -out %5")
                               .arg(newKey, cn, name, path("key.pem"), certFile()));
        } else {
            QFile extensions(path("leaf.ext"));
            made = extensions.open(QIODevice::WriteOnly) &&
                   extensions.write(("subjectAltName=" + name + "\n").toUtf8()) > 0;
            extensions.close();
            made = made &&
                   openssl(QStringLiteral("req -x509 %1 -subj /CN=strevo-test-ca -addext "
                                          "basicConstraints=critical,CA:TRUE -addext "
                                          "keyUsage=critical,keyCertSign -keyout %2 -out %3")
                               .arg(newKey, path("ca.key"), caFile())) &&
                   openssl(QStringLiteral("req -new %1 -subj /CN=%2 -keyout %3 -out %4")
                               .arg(newKey, cn, path("key.pem"), path("leaf.csr"))) &&
                   openssl(QStringLiteral("x509 -req -in %1 -CA %2 -CAkey %3 -set_serial 2 "
                                          "-days %4 -extfile %5 -out %6")
                               .arg(path("leaf.csr"), caFile(), path("ca.key"),
                                    m_cert == Cert::Expired ? "0" : "1", path("leaf.ext"),
                                    certFile()));
            if (m_cert == Cert::Expired)
                QThread::msleep(1100); // past its last second
        }
        return made && run(QStringLiteral("stunnel4"), {path("stunnel.conf")},
                           QStringLiteral("foreground = yes\npid =\n[front]\naccept = "
                                          "127.0.0.1:%1\nconnect = 127.0.0.1:%2\ncert = "
                                          "%3\nkey = %4\n")
                               .arg(port())
                               .arg(m_target)
                               .arg(certFile(), path("key.pem")));
    }

private:
    // Runs openssl with `args` (split at spaces); its messages go to the log.
    bool openssl(const QString& args) const
    {
        QProcess p;
        p.setStandardOutputFile(path("openssl.log"), QIODevice::Append);
        p.setStandardErrorFile(path("openssl.log"), QIODevice::Append);
        p.start(QStringLiteral("openssl"), args.split(' '));
        return p.waitForFinished(30000) && p.exitStatus() == QProcess::NormalExit &&
               p.exitCode() == 0;
    }

    int m_target;
    Cert m_cert;
};

// ffmpeg receiving one stream and copying it into output() as MPEG-TS. `scheme`: "tcp"
// (listening), "udp", or "rtsp" (the RTSP server a publisher announces to). Its stream probe
// ends after 1 s of stream, so that a short stream is written out before finish(). ffmpeg's
// UDP input ignores signals while no data comes: it ends 3 s after the last datagram.
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
    // Ends the reception as a user does, so that output() is a complete file.
    void finish() { stop(SIGINT); }

private:
    QString m_scheme;
};

// srt-live-transmit at the far end of an SRT output, writing what it receives to output().
// `mode` is its own: "listener" on `port`; "caller" to 127.0.0.1:`port` (retrying until the
// output listens); "rendezvous" from local `port` with the output's port `remote`. `options`
// are more URL parameters, e.g. "passphrase=...&pbkeylen=24".
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
    // Ends the reception; output() then holds everything received.
    void finish() { stop(SIGINT); }

private:
    QString m_mode;
    int m_target;
    int m_remote;
    QString m_options;
};

// A lossy link: relays UDP datagrams between one client and 127.0.0.1:`target`, dropping
// about `loss` of them in each direction (from a fixed seed, so runs repeat).
class LossyRelay
{
public:
    LossyRelay(int target, double loss)
        : m_fd(boundSocket(SOCK_DGRAM, &m_port)), m_loss(loss),
          m_thread([this, target] { relay(target); })
    {
    }
    ~LossyRelay()
    {
        m_stop.store(true);
        m_thread.join();
    }
    int port() const { return m_port; }
    long long dropped() const { return m_dropped.load(); }

private:
    void relay(int port)
    {
        // One socket towards the target, so that it sees a single peer.
        UniqueFd up(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
        const sockaddr_in target{AF_INET, htons(uint16_t(port)), {htonl(INADDR_LOOPBACK)}, {}};
        ::connect(up.get(), reinterpret_cast<const sockaddr*>(&target), sizeof(target));
        sockaddr_in client{};
        socklen_t clientSize = 0;
        std::mt19937 random(7);
        std::uniform_real_distribution<double> chance(0.0, 1.0);
        const auto keep = [&] {
            const bool lost = chance(random) < m_loss;
            m_dropped += lost ? 1 : 0;
            return !lost;
        };
        char buffer[2048];
        pollfd fds[2] = {{m_fd.get(), POLLIN, 0}, {up.get(), POLLIN, 0}};
        while (!m_stop.load()) {
            if (::poll(fds, 2, 100) <= 0)
                continue;
            if (fds[0].revents & POLLIN) {
                socklen_t size = sizeof(client);
                const ssize_t n = ::recvfrom(m_fd.get(), buffer, sizeof(buffer), 0,
                                             reinterpret_cast<sockaddr*>(&client), &size);
                clientSize = n > 0 ? size : clientSize;
                if (n > 0 && keep())
                    ::send(up.get(), buffer, size_t(n), 0);
            }
            if (fds[1].revents & POLLIN) {
                const ssize_t n = ::recv(up.get(), buffer, sizeof(buffer), 0);
                if (n > 0 && clientSize > 0 && keep())
                    ::sendto(m_fd.get(), buffer, size_t(n), 0,
                             reinterpret_cast<const sockaddr*>(&client), clientSize);
            }
        }
    }

    int m_port = 0;
    UniqueFd m_fd;
    double m_loss;
    std::atomic<bool> m_stop{false};
    std::atomic<long long> m_dropped{0};
    std::thread m_thread;
};

// Accepts TCP connections (the kernel completes them) and never answers: a hanging server.
class SilentServer
{
public:
    SilentServer() : m_fd(boundSocket(SOCK_STREAM, &m_port)) { ::listen(m_fd.get(), 8); }
    int port() const { return m_port; }

private:
    int m_port = 0;
    UniqueFd m_fd;
};

// tests/integration/peers/rtmp_peer.py: an RTMP server that misbehaves on purpose (python3).
// `mode`: "garbage" (a correct handshake, then malformed chunk data of the kind `garbage`
// names, forever), "garbage-live" (takes the stream, then the same), "noise" (random bytes from
// the first byte), "silent" (never sends a byte), "close-on-publish" (answers connect, closes on
// publish), "stall" (takes the stream, then stops reading). `garbage`: "mix" or one kind, see
// the script.
class ScriptedRtmpPeer : public ServerProcess
{
public:
    explicit ScriptedRtmpPeer(QString mode, QString garbage = QStringLiteral("mix"))
        : ServerProcess(QStringLiteral("rtmp_peer"), freePort()), m_mode(std::move(mode)),
          m_garbage(std::move(garbage))
    {
    }
    QString url() const { return QStringLiteral("rtmp://127.0.0.1:%1/live").arg(port()); }
    // Connections the peer has accepted so far.
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

} // namespace live
