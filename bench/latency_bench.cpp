// How long a frame takes from the host to the output, against the encoder's own delay.
//
//   latency_bench [frames=300] [runs=3] [width=640] [height=360] [x264preset=veryfast]
//
// Four cases, each run `runs` times: an mp4 recording and an RTMP stream to a local nginx-rtmp
// (started by the benchmark), each with x264 at its default tuning (look-ahead, frame threads)
// and with tune zerolatency; 30 fps, 1200 kbit/s, AAC beside it. Each run is one Strevo job
// with one output, fed `frames` frames of a test pattern and their sound in real time (one frame
// every 1/30 s; a live viewer's source does not come faster), each frame stamped with its
// presentation time.
//
// Per frame, matched by that stamp (never by counting packets):
// - push: just before Strevo::pushVideo;
// - coded: the pipeline's encoder gave the frame's packet out (IEncodingCallback::videoEncoded,
//   EncodedVideo::stampUs);
// - muxer: the packet was handed to the muxer and queued for its writing thread
//   (IPacketTiming::Stage::Queued);
// - written/sent: libavformat gave the packet to the container and every byte of it left the
//   I/O buffer: into the file, or for the stream into the RTMP publisher, which sends each
//   complete FLV tag on its socket as it gets it (IPacketTiming::Stage::Written).
// Frames whose packets came out only while the job stopped (the encoder's drain) are left out.
//
// The encoder's own delay is measured apart, on the codec class alone with the same settings:
// frames given to X264::encode at 30 fps, each packet matched to its frame by the codec's pts.
//
// start→first: for the stream, from Strevo::start() (called right after addOutput, as a host
// does) to the moment a relay in this benchmark, between the output and nginx, has passed on
// the last byte of the first RTMP video message (it parses the chunk stream it forwards); for
// the recording, to the first packet written (the hook above).
//
// Printed: one line per run, then the medians over the runs of each number. Goal: written/sent
// at the 99th percentile at most one frame interval (33 ms) above the encoder's own 99th
// percentile.

#include "LiveServers.h"
#include "api/Strevo.h"
#include "codec/video/X264.h"
#include "common/CodecPreset.h"
#include "common/PixelFormat.h"
#include "encoder/IEncoder.h"
#include "encoder/IEncodingCallback.h"
#include "muxer/IMuxer.h"
#include "muxer/IPacketTiming.h"
#include "tools/TestPattern.h"

#include <QCoreApplication>
#include <QTemporaryDir>
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <map>
#include <mutex>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <string>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;
constexpr double kRate = 30.0;
constexpr int kSamplesPerFrame = 1600;

long long stampOf(int frame)
{
    return std::llround(frame * 1e6 / kRate);
}

double ms(Clock::duration d)
{
    return std::chrono::duration<double, std::milli>(d).count();
}

struct Spread
{
    double median = NAN;
    double p99 = NAN;
    int count = 0;
};

Spread spread(std::vector<double> values)
{
    Spread s;
    s.count = static_cast<int>(values.size());
    if (values.empty())
        return s;
    std::sort(values.begin(), values.end());
    const auto at = [&](double q) {
        const size_t i = static_cast<size_t>(std::ceil(q * values.size())) - 1;
        return values[std::min(i, values.size() - 1)];
    };
    s.median = values.size() % 2 ? values[values.size() / 2]
                                 : (values[values.size() / 2 - 1] + values[values.size() / 2]) / 2;
    s.p99 = at(0.99);
    return s;
}

double medianOf(std::vector<double> values)
{
    values.erase(
        std::remove_if(values.begin(), values.end(), [](double v) { return std::isnan(v); }),
        values.end());
    return spread(std::move(values)).median;
}

CodecPreset outputPreset(int width, int height, const QString& x264Preset, bool zeroLatency)
{
    CodecPreset p;
    p.videoOutput().frameRate = kRate;
    p.videoOutput().width = width;
    p.videoOutput().height = height;
    p.audioOutput() = {2, 48000, 16, 16384};
    auto& v = p.videoCodec();
    v.codecName = QStringLiteral("X264");
    v.width = width;
    v.height = height;
    v.frameRate = kRate;
    v.bitrate = 1200;
    v.keyframeInterval = 2;
    v.preset = x264Preset;
    v.tune = zeroLatency ? QStringLiteral("zerolatency") : QString();
    p.audioCodec() = {true, QStringLiteral("AAC"), 48000, 128, 16, 2};
    p.container().format = QStringLiteral("mp4");
    p.local().fileNameTemplate = QStringLiteral("latency");
    return p;
}

// ---- the encoder alone ----------------------------------------------------------------------

Spread encoderDelay(CodecPreset preset, int frames)
{
    X264 codec;
    if (!codec.initialize(&preset)) {
        std::fprintf(stderr, "latency_bench: x264 did not open\n");
        return {};
    }
    const int w = preset.videoCodec().width, h = preset.videoCodec().height;
    TestPattern pattern(w, h);
    std::vector<unsigned char> packet(codec.maxPacketSize());
    std::vector<Clock::time_point> in(static_cast<size_t>(frames));
    std::vector<double> delays;
    const auto start = Clock::now();
    for (int i = 0; i < frames; ++i) {
        std::this_thread::sleep_until(start + std::chrono::microseconds(stampOf(i)));
        const uint8_t* picture = pattern.frame(i);
        unsigned int size = 0, key = 0;
        long long pts = -1, dts = -1;
        in[static_cast<size_t>(i)] = Clock::now();
        const bool out =
            codec.encode(const_cast<uint8_t*>(picture), w * h * 3 / 2, PIX_NV12, packet.data(),
                         static_cast<unsigned int>(packet.size()), size, key, pts, dts);
        if (out && size > 0 && pts >= 0 && pts < frames)
            delays.push_back(ms(Clock::now() - in[static_cast<size_t>(pts)]));
    }
    return spread(delays);
}

// ---- a relay between the output and nginx that sees the first video message ----------------

// Reads the RTMP chunk stream a client sends (after its handshake) and notes when the first
// complete video message (type 9) with a picture has gone through.
class RtmpChunkWatch
{
public:
    // `data` was just forwarded.
    void feed(const char* data, size_t size)
    {
        if (m_videoSeen)
            return;
        m_buffer.append(data, size);
        while (!m_videoSeen && parseOne()) {
        }
    }
    bool videoSeen() const { return m_videoSeen; }

private:
    struct Stream
    {
        uint32_t length = 0, remaining = 0;
        uint8_t type = 0;
        bool extended = false;
        std::string payload; // a control message's; a video message's first two bytes
    };
    static uint32_t be(const unsigned char* p, int n)
    {
        uint32_t v = 0;
        for (int i = 0; i < n; ++i)
            v = v << 8 | p[i];
        return v;
    }
    // One chunk when it is all there; false when more bytes are needed.
    bool parseOne()
    {
        static constexpr size_t kHandshake = 1 + 1536 + 1536; // C0, C1, C2
        if (m_skipped < kHandshake) {
            const size_t n = std::min(kHandshake - m_skipped, m_buffer.size());
            m_buffer.erase(0, n);
            m_skipped += n;
            return m_skipped == kHandshake && !m_buffer.empty();
        }
        const auto* p = reinterpret_cast<const unsigned char*>(m_buffer.data());
        const size_t have = m_buffer.size();
        if (have < 1)
            return false;
        const int fmt = p[0] >> 6;
        uint32_t csid = p[0] & 0x3f;
        size_t at = 1;
        if (csid < 2) {
            at += csid + 1;
            if (have < at)
                return false;
            csid = 64 + p[1] + (csid == 1 ? p[2] * 256u : 0);
        }
        static constexpr size_t kHeader[] = {11, 7, 3, 0};
        if (have < at + kHeader[fmt])
            return false;
        Stream& s = m_streams[csid];
        bool extended = s.extended;
        uint32_t length = s.length;
        uint8_t type = s.type;
        if (fmt < 3) {
            extended = be(p + at, 3) == 0xffffff;
            if (fmt < 2) {
                length = be(p + at + 3, 3);
                type = p[at + 6];
            }
        }
        at += kHeader[fmt];
        if (extended)
            at += 4;
        const bool fresh = s.remaining == 0;
        const uint32_t total = fresh ? length : s.remaining;
        const size_t body = std::min<size_t>(total, m_chunkSize);
        if (have < at + body)
            return false;
        s.extended = extended;
        s.length = length;
        s.type = type;
        if (fresh)
            s.payload.clear();
        if (type == 1 || (type == 9 && s.payload.size() < 2))
            s.payload.append(m_buffer, at, type == 1 ? body : std::min<size_t>(body, 2));
        s.remaining = total - static_cast<uint32_t>(body);
        m_buffer.erase(0, at + body);
        if (s.remaining == 0) {
            // FLV's AVC tags: the first holds the parameter sets (AVCPacketType 0), pictures
            // follow (1).
            if (type == 9 && s.payload.size() >= 2 && s.payload[1] == 1)
                m_videoSeen = true;
            else if (type == 1 && s.payload.size() >= 4)
                m_chunkSize =
                    be(reinterpret_cast<const unsigned char*>(s.payload.data()), 4) & 0x7fffffff;
        }
        return true;
    }

    std::string m_buffer;
    size_t m_skipped = 0;
    size_t m_chunkSize = 128;
    std::map<uint32_t, Stream> m_streams;
    bool m_videoSeen = false;
};

// Listens on a free port, takes one connection and forwards it both ways to `target`.
class Relay
{
public:
    explicit Relay(int target) : m_target(target)
    {
        m_listen.reset(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
        sockaddr_in a{AF_INET, 0, {htonl(INADDR_LOOPBACK)}, {}};
        socklen_t length = sizeof(a);
        if (::bind(m_listen.get(), reinterpret_cast<sockaddr*>(&a), length) == 0 &&
            ::listen(m_listen.get(), 1) == 0 &&
            ::getsockname(m_listen.get(), reinterpret_cast<sockaddr*>(&a), &length) == 0)
            m_port = ntohs(a.sin_port);
        m_thread = std::thread([this] { run(); });
    }
    ~Relay()
    {
        m_done.store(true);
        m_thread.join();
    }
    int port() const { return m_port; }
    // When the first video message had passed; zero before.
    Clock::time_point firstVideo() const
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_firstVideo;
    }

private:
    static bool sendAll(int fd, const char* data, ssize_t size)
    {
        while (size > 0) {
            const ssize_t n = ::send(fd, data, static_cast<size_t>(size), MSG_NOSIGNAL);
            if (n <= 0)
                return false;
            data += n;
            size -= n;
        }
        return true;
    }
    void run()
    {
        pollfd waiting{m_listen.get(), POLLIN, 0};
        while (!m_done.load() && ::poll(&waiting, 1, 50) <= 0) {
        }
        if (m_done.load())
            return;
        UniqueFd client(::accept4(m_listen.get(), nullptr, nullptr, SOCK_CLOEXEC));
        UniqueFd server(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
        sockaddr_in a{
            AF_INET, htons(static_cast<uint16_t>(m_target)), {htonl(INADDR_LOOPBACK)}, {}};
        if (!client || ::connect(server.get(), reinterpret_cast<sockaddr*>(&a), sizeof(a)) != 0)
            return;
        const int on = 1;
        ::setsockopt(server.get(), IPPROTO_TCP, TCP_NODELAY, &on, sizeof(on));
        ::setsockopt(client.get(), IPPROTO_TCP, TCP_NODELAY, &on, sizeof(on));
        RtmpChunkWatch watch;
        std::vector<char> buffer(65536);
        while (!m_done.load()) {
            pollfd fds[2] = {{client.get(), POLLIN, 0}, {server.get(), POLLIN, 0}};
            if (::poll(fds, 2, 50) <= 0)
                continue;
            for (int i = 0; i < 2; ++i) {
                if (!(fds[i].revents & (POLLIN | POLLHUP | POLLERR)))
                    continue;
                const ssize_t n = ::recv(fds[i].fd, buffer.data(), buffer.size(), 0);
                if (n <= 0 || !sendAll(fds[1 - i].fd, buffer.data(), n))
                    return;
                if (i == 0 && !watch.videoSeen()) {
                    watch.feed(buffer.data(), static_cast<size_t>(n));
                    if (watch.videoSeen()) {
                        std::lock_guard<std::mutex> lock(m_mutex);
                        m_firstVideo = Clock::now();
                    }
                }
            }
        }
    }

    int m_target;
    int m_port = 0;
    UniqueFd m_listen;
    std::atomic<bool> m_done{false};
    mutable std::mutex m_mutex;
    Clock::time_point m_firstVideo; // guarded by m_mutex
    std::thread m_thread;
};

// ---- the pipeline ------------------------------------------------------------------------------

// The times of every frame, by its stamp; filled from the pipeline's threads.
class FrameTimes : public IPacketTiming, public IEncodingCallback
{
public:
    explicit FrameTimes(int frames) : m_frames(static_cast<size_t>(frames)) {}

    void setEncoder(IEncoder* encoder) { m_encoder = encoder; }
    void pushed(int frame, Clock::time_point at) { set(stampOf(frame), 0, at); }

    void packetTime(Stage stage, long long stampUs, Clock::time_point at) override
    {
        set(stampUs, stage == Stage::Queued ? 2 : 3, at);
    }
    void videoEncoded(const QString&, unsigned char*, unsigned int, int, int, unsigned int,
                      unsigned char*, unsigned int) override
    {
        set(m_encoder->encodedVideo().stampUs, 1, Clock::now());
    }
    void audioEncoded(unsigned char*, unsigned int, unsigned char*, unsigned int) override {}

    // The frames whose packets were written before `end`, and the spread of each stage.
    std::vector<Spread> spreads(Clock::time_point end) const
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        std::vector<double> stages[3];
        for (const Times& t : m_frames) {
            if (t.at[0] == Clock::time_point{} || t.at[3] == Clock::time_point{} || t.at[3] > end)
                continue;
            for (int s = 1; s <= 3; ++s)
                if (t.at[s] != Clock::time_point{})
                    stages[s - 1].push_back(ms(t.at[s] - t.at[0]));
        }
        return {spread(stages[0]), spread(stages[1]), spread(stages[2])};
    }
    Clock::time_point firstWritten() const
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        Clock::time_point first = Clock::time_point::max();
        for (const Times& t : m_frames)
            if (t.at[3] != Clock::time_point{})
                first = std::min(first, t.at[3]);
        return first;
    }

private:
    struct Times
    {
        Clock::time_point at[4]; // push, coded, muxer, written
    };
    void set(long long stampUs, int stage, Clock::time_point at)
    {
        const long long frame = std::llround(stampUs * kRate / 1e6);
        if (stampUs < 0 || frame >= static_cast<long long>(m_frames.size()) ||
            stampOf(static_cast<int>(frame)) != stampUs)
            return;
        std::lock_guard<std::mutex> lock(m_mutex);
        Clock::time_point& slot = m_frames[static_cast<size_t>(frame)].at[stage];
        if (slot == Clock::time_point{})
            slot = at; // a frame repeated by the pacing counts once, first
    }

    IEncoder* m_encoder = nullptr; // set before the job starts
    mutable std::mutex m_mutex;
    std::vector<Times> m_frames; // guarded by m_mutex
};

struct RunResult
{
    Spread stages[3]; // coded, muxer, written
    double startToFirstMs = NAN;
};

RunResult pipelineRun(CodecPreset preset, bool live, int frames, const QString& folder,
                      live::NginxRtmp* nginx)
{
    RunResult r;
    std::unique_ptr<Relay> relay;
    if (live) {
        relay = std::make_unique<Relay>(nginx->port());
        preset.local().enabled = false;
        preset.streaming().enabled = true;
        preset.streaming().url = QStringLiteral("rtmp://127.0.0.1:%1/live").arg(relay->port());
        preset.streaming().streamKey = QStringLiteral("latency");
        preset.container().format = QStringLiteral("flv");
    } else {
        preset.local().enabled = true;
        preset.local().folder = folder;
    }
    const int w = preset.videoCodec().width, h = preset.videoCodec().height;
    FrameTimes times(frames);
    Strevo job;
    job.initialize(&preset);
    QString why;
    if (job.addOutput(preset, 0, -1, &why) < 0) {
        std::fprintf(stderr, "latency_bench: the output was refused: %s\n", qPrintable(why));
        return r;
    }
    IEncoder* encoder = job.encoders().value(0);
    times.setEncoder(encoder);
    job.encodingCallback(&times);
    encoder->muxer()->setPacketTiming(&times);

    TestPattern pattern(w, h);
    std::vector<int16_t> sound(2 * kSamplesPerFrame);
    const auto start = Clock::now();
    job.start(0);
    for (int i = 0; i < frames; ++i) {
        std::this_thread::sleep_until(start + std::chrono::microseconds(stampOf(i)));
        const uint8_t* picture = pattern.frame(i);
        for (size_t s = 0; s < sound.size(); ++s)
            sound[s] = static_cast<int16_t>(
                8000 * std::sin(2 * M_PI * 440.0 * (i * kSamplesPerFrame + s / 2) / 48000.0));
        strevo::VideoFrame frame{0, PIX_NV12, w, h, {picture, picture + w * h}};
        frame.timestampUs = stampOf(i);
        times.pushed(i, Clock::now());
        job.pushVideo(frame);
        job.pushAudio({0, sound.data(), kSamplesPerFrame});
    }
    // What comes out after the last frame's interval is the encoder's drain at stop().
    std::this_thread::sleep_until(start + std::chrono::microseconds(stampOf(frames)));
    const auto end = Clock::now();
    job.stop();
    encoder = nullptr;
    const std::vector<Spread> s = times.spreads(end);
    std::copy(s.begin(), s.end(), r.stages);
    const Clock::time_point first = live ? relay->firstVideo() : times.firstWritten();
    if (first != Clock::time_point{} && first != Clock::time_point::max())
        r.startToFirstMs = ms(first - start);
    return r;
}

void printRow(const char* name, int run, const Spread& enc, const RunResult& r)
{
    std::printf("%-18s %4d  %7.1f %7.1f  %7.1f %7.1f  %7.1f %7.1f  %7.1f %7.1f  %6.1f  %8.1f "
                "%5d\n",
                name, run, enc.median, enc.p99, r.stages[0].median, r.stages[0].p99,
                r.stages[1].median, r.stages[1].p99, r.stages[2].median, r.stages[2].p99,
                r.stages[2].p99 - enc.p99, r.startToFirstMs, r.stages[2].count);
}

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    const int frames = argc > 1 ? std::max(60, std::atoi(argv[1])) : 300;
    const int runs = argc > 2 ? std::max(1, std::atoi(argv[2])) : 3;
    const int w = argc > 4 ? std::atoi(argv[3]) : 640;
    const int h = argc > 4 ? std::atoi(argv[4]) : 360;
    const QString x264Preset = argc > 5 ? QString::fromLocal8Bit(argv[5]) : "veryfast";
    Strevo::setLogLevel(strevo::LogLevel::Error);

    live::NginxRtmp nginx;
    if (!nginx.start()) {
        std::fprintf(stderr, "latency_bench: nginx with its RTMP module did not start\n");
        return 1;
    }
    QTemporaryDir dir;
    struct Case
    {
        const char* name;
        bool live, zeroLatency;
    };
    const Case cases[] = {{"mp4 file", false, false},
                          {"mp4 file zerolat", false, true},
                          {"rtmp live", true, false},
                          {"rtmp live zerolat", true, true}};
    std::printf("%d frames of %dx%d at 30 fps in real time, x264 %s 1200 kbit/s + AAC; ms\n",
                frames, w, h, qPrintable(x264Preset));
    std::printf("%-18s %4s  %15s  %15s  %15s  %15s  %6s  %8s %5s\n", "case", "run",
                "encoder med/p99", "coded med/p99", "muxer med/p99", "written med/p99", "added",
                "start->1", "n");
    for (const Case& c : cases) {
        std::vector<double> columns[10];
        for (int run = 1; run <= runs; ++run) {
            const CodecPreset preset = outputPreset(w, h, x264Preset, c.zeroLatency);
            const Spread enc = encoderDelay(preset, frames);
            const RunResult r = pipelineRun(preset, c.live, frames, dir.path(), &nginx);
            printRow(c.name, run, enc, r);
            std::fflush(stdout);
            const double values[10] = {enc.median,
                                       enc.p99,
                                       r.stages[0].median,
                                       r.stages[0].p99,
                                       r.stages[1].median,
                                       r.stages[1].p99,
                                       r.stages[2].median,
                                       r.stages[2].p99,
                                       r.stages[2].p99 - enc.p99,
                                       r.startToFirstMs};
            for (int i = 0; i < 10; ++i)
                columns[i].push_back(values[i]);
        }
        Spread enc{medianOf(columns[0]), medianOf(columns[1])};
        RunResult median;
        for (int s = 0; s < 3; ++s)
            median.stages[s] = {medianOf(columns[2 + 2 * s]), medianOf(columns[3 + 2 * s]), frames};
        median.startToFirstMs = medianOf(columns[9]);
        std::printf("%-18s %4s  %7.1f %7.1f  %7.1f %7.1f  %7.1f %7.1f  %7.1f %7.1f  %6.1f  %8.1f\n",
                    c.name, "med", enc.median, enc.p99, median.stages[0].median,
                    median.stages[0].p99, median.stages[1].median, median.stages[1].p99,
                    median.stages[2].median, median.stages[2].p99, medianOf(columns[8]),
                    median.startToFirstMs);
        std::fflush(stdout);
    }
    return 0;
}
