#include "muxer/ContainerWriter.h"

#include "common/StrevoLog.h"
#include "muxer/FormatHandles.h"
#include "muxer/IMuxerCallback.h"
#include "muxer/IMuxerOutput.h"
#include "muxer/IPacketTiming.h"
#include "muxer/MuxerReports.h"
#include "muxer/MuxerThread.h"
#include "muxer/StreamHeaders.h"

#include <QDebug>
#include <QThread>
#include <algorithm>
#include <chrono>
#include <limits>

extern "C" {
#include <libavutil/opt.h>
}

ContainerWriter::ContainerWriter(const CodecPreset& preset, const StreamHeaders& headers,
                                 MuxerReports& reports)
    : m_headers(headers), m_reports(reports), m_setup(preset, headers)
{
}

ContainerWriter::~ContainerWriter()
{
    beginStop();
    joinThread();
    std::lock_guard<std::mutex> lock(m_muxMutex);
    closeLocked(false);
}

// ---- the writing thread's life -------------------------------------------------------------

void ContainerWriter::start()
{
    m_thread = std::make_unique<MuxerThread>(this);
    m_thread->start(QThread::InheritPriority);
}

void ContainerWriter::beginStop()
{
    {
        std::lock_guard<std::mutex> lock(m_queueMutex);
        m_stopping = true;
    }
    m_queueCond.notify_all();
}

bool ContainerWriter::waitThread(unsigned long ms)
{
    return !m_thread || m_thread->wait(ms);
}

void ContainerWriter::joinThread()
{
    m_thread.reset();
}

void ContainerWriter::abort()
{
    m_aborted.store(true);
    m_queueCond.notify_all();
}

// ---- stamping and queueing (the pipeline's threads) ----------------------------------------

bool ContainerWriter::takesPackets() const
{
    return !m_output || m_output->takesPackets();
}

bool ContainerWriter::writeVideo(AVPacketPtr packet, bool keyFrame)
{
    if (m_failed.load())
        return false;
    if (!packet)
        return true;
    if (!takesPackets()) {
        m_output->countDrops(1);
        return true;
    }
    long long origin = -1;
    {
        std::unique_lock<std::mutex> lock(m_queueMutex);
        if (m_output && m_videoQueue.size() > m_output->backlogLimit()) {
            lock.unlock();
            m_output->backlogExceeded();
            return true;
        }
        if (!m_keyFrameSeen) {
            if (!keyFrame) {
                // The container starts with a key frame; the output may ask for one.
                const bool ask = !m_keyFrameAsked;
                m_keyFrameAsked = true;
                lock.unlock();
                if (ask && m_output)
                    m_output->keyFrameWanted();
                return true;
            }
            m_keyFrameSeen = true;
        }
        if (keyFrame)
            packet->flags |= AV_PKT_FLAG_KEY;
        else
            packet->flags &= ~AV_PKT_FLAG_KEY;
        origin = IPacketTiming::origin(*packet);
        m_videoQueue.push_back(Queued{std::move(packet), m_queuedVideoFrames++, 0, origin});
        m_videoFrames.store(m_queuedVideoFrames);
    }
    m_queueCond.notify_one();
    if (IPacketTiming* timing = m_timing.load())
        if (origin >= 0)
            timing->packetTime(IPacketTiming::Stage::Queued, origin,
                               std::chrono::steady_clock::now());
    return true;
}

size_t ContainerWriter::queuedVideoPackets()
{
    std::lock_guard<std::mutex> lock(m_queueMutex);
    return m_videoQueue.size();
}

bool ContainerWriter::writeAudio(AVPacketPtr packet)
{
    if (m_failed.load())
        return false;
    if (!packet || !m_setup.hasAudio())
        return true;
    if (!takesPackets()) {
        m_output->countDrops(1);
        return true;
    }
    {
        std::lock_guard<std::mutex> lock(m_queueMutex);
        if (!m_keyFrameSeen)
            return true; // the sound starts with the picture
        const int64_t samples = packet->duration > 0 ? packet->duration : m_setup.audioFrameSize();
        m_audioQueue.push_back(Queued{std::move(packet), m_queuedAudioSamples, samples});
        m_queuedAudioSamples += samples;
    }
    m_queueCond.notify_one();
    return true;
}

void ContainerWriter::skipVideoFrame()
{
    if (!takesPackets())
        return;
    {
        std::lock_guard<std::mutex> lock(m_queueMutex);
        // The gap still counts as written video, in order, so that the audio that waits for
        // the picture and the MPEG-TS interleaving move on.
        if (m_keyFrameSeen)
            m_videoQueue.push_back(Queued{nullptr, m_queuedVideoFrames});
        ++m_queuedVideoFrames;
        m_videoFrames.store(m_queuedVideoFrames);
    }
    m_queueCond.notify_one();
}

int ContainerWriter::skipAudioFrame()
{
    {
        std::lock_guard<std::mutex> lock(m_queueMutex);
        m_queuedAudioSamples += m_setup.audioFrameSize();
    }
    m_queueCond.notify_one();
    return m_setup.audioFrameSize();
}

// ---- the container (the output's calls) ----------------------------------------------------

bool ContainerWriter::createContextLocked(const QByteArray& url, const AVIOInterruptCB* interrupt)
{
    m_format = avformat_alloc_context();
    if (!m_format)
        return false;
    m_format->oformat = m_setup.format();
    m_format->url = av_strdup(url.constData());
    if (interrupt)
        m_format->interrupt_callback = *interrupt;
    if (!m_setup.addStreams(m_format, &m_videoStream, &m_audioStream)) {
        closeLocked(false);
        return false;
    }
    m_format->max_delay =
        m_setup.row().interleave == ContainerTable::Interleave::ByStamp ? 0 : 100000;
    return true;
}

void ContainerWriter::attachIoLocked(AVIOContext* io, bool flushEachPacket)
{
    m_format->pb = io;
    m_format->flags |= AVFMT_FLAG_CUSTOM_IO;
    if (flushEachPacket)
        m_format->flush_packets = 1;
}

bool ContainerWriter::setUpColourFilter()
{
    const AVCodecParameters* par = m_videoStream->codecpar;
    const AVBitStreamFilter* filter =
        av_bsf_get_by_name(par->codec_id == AV_CODEC_ID_H264 ? "h264_metadata" : "hevc_metadata");
    AVBSFContext* bsf = nullptr;
    if (!filter || av_bsf_alloc(filter, &bsf) < 0)
        return false;
    m_colourFilter.reset(bsf);
    // BT.601 (PAL/NTSC values 6) below 720p, BT.709 up to 4K; UHD keeps what the encoder wrote.
    const char* colour = nullptr;
    if (par->width < 1280 && par->height < 720)
        colour = "6";
    else if (par->width < 3840 && par->height < 2160)
        colour = "1";
    if (colour) {
        av_opt_set(bsf->priv_data, "colour_primaries", colour, AV_OPT_SEARCH_CHILDREN);
        av_opt_set(bsf->priv_data, "transfer_characteristics", colour, AV_OPT_SEARCH_CHILDREN);
        av_opt_set(bsf->priv_data, "matrix_coefficients", colour, AV_OPT_SEARCH_CHILDREN);
    }
    av_opt_set(bsf->priv_data, "video_full_range_flag", "0", AV_OPT_SEARCH_CHILDREN);
    if (avcodec_parameters_copy(bsf->par_in, par) < 0) {
        m_colourFilter.reset();
        return false;
    }
    bsf->time_base_in = m_videoStream->time_base;
    if (av_bsf_init(bsf) < 0) {
        m_colourFilter.reset();
        return false;
    }
    return avcodec_parameters_copy(m_videoStream->codecpar, bsf->par_out) >= 0;
}

bool ContainerWriter::writeHeaderLocked(QString* why)
{
    AVCodecParameters* par = m_videoStream->codecpar;
    m_headers.fillVideoExtradata(par); // without them, libavformat says what is missing
    if (m_setup.videoNeedsHeaders() && par->extradata_size > 0 && !m_colourFilter &&
        !setUpColourFilter())
        qCDebug(lcStrevo,
                "FFMPEG: colour metadata filter unavailable; writing the stream as it is");

    AVDictionary* raw = m_setup.headerOptions();
    const int result = avformat_write_header(m_format, &raw);
    AVDictionaryPtr options(raw);
    if (result < 0) {
        *why = m_output->errorText(result);
        return false;
    }
    m_videoTimeBase = m_videoStream->time_base;
    if (m_audioStream)
        m_audioTimeBase = m_audioStream->time_base;
    m_streamEnds.assign(m_format->nb_streams, 0);
    m_output->headerWritten();
    m_headerWritten.store(true);
    {
        std::lock_guard<std::mutex> lock(m_queueMutex);
    }
    m_queueCond.notify_all();
    return true;
}

void ContainerWriter::closeLocked(bool trailer)
{
    if (m_format) {
        if (trailer && m_headerWritten.load()) {
            m_output->ioBegin();
            const int result = av_write_trailer(m_format);
            m_output->ioEnd();
            m_output->trailerWritten(result, m_streamEnds);
            if (result >= 0)
                reportWritten(true);
        }
        m_format->pb = nullptr; // the output's
        avformat_free_context(m_format);
        m_format = nullptr;
    }
    m_videoStream = nullptr;
    m_audioStream = nullptr;
    m_colourFilter.reset();
    m_headerWritten.store(false);
    m_videoHanded = 0;
    m_unwritten.clear();
}

long long ContainerWriter::resetLocked()
{
    long long discarded = 0;
    {
        std::lock_guard<std::mutex> queueLock(m_queueMutex);
        discarded = static_cast<long long>(m_videoQueue.size() + m_audioQueue.size());
        m_videoQueue.clear();
        m_audioQueue.clear();
        m_queuedVideoFrames = 0;
        m_queuedAudioSamples = 0;
        m_keyFrameSeen = false;
        m_keyFrameAsked = false;
        m_videoFrames.store(0);
    }
    closeLocked(false);
    return discarded;
}

void ContainerWriter::fail(const char* what, int result)
{
    if (m_failed.load())
        return; // the output has finished and said why
    if (m_output->writeFailed(what, result))
        m_failed.store(true);
}

// ---- the writing thread --------------------------------------------------------------------

int ContainerWriter::nextQueue() const
{
    if (!m_headerWritten.load() || m_failed.load() || !takesPackets())
        return -1;
    const Queued* v = m_videoQueue.empty() ? nullptr : &m_videoQueue.front();
    const Queued* a = m_audioQueue.empty() ? nullptr : &m_audioQueue.front();
    if (!a && !v)
        return -1;
    if (!a)
        return 0;
    const bool byStamp = m_setup.row().interleave == ContainerTable::Interleave::ByStamp;
    if (!v && !byStamp)
        return 1;
    const AVRational videoTb = av_inv_q(m_setup.frameRate());
    const AVRational audioTb{1, m_setup.sampleRate()};
    if (!byStamp)
        return av_compare_ts(a->pts, audioTb, v->pts, videoTb) <= 0 ? 1 : 0;
    // Written with no interleaving delay, so the earlier stamp goes first (ties to audio). An
    // empty queue stands for the stamp its next packet will get: a packet is written only
    // when nothing earlier can still arrive.
    const int64_t aPts = a ? a->pts : m_queuedAudioSamples;
    const int64_t vPts = v ? v->pts : m_queuedVideoFrames;
    const int order = av_compare_ts(aPts, audioTb, vPts, videoTb);
    if (a && order <= 0)
        return 1;
    // Video at the very stamp the next audio packet will get goes first when no audio is
    // waiting: the audio side may itself be waiting for this video to be written.
    if (v && (order > 0 || (!a && order == 0)))
        return 0;
    // At the end of a recording nothing more arrives: write what is left.
    if (m_stopping)
        return a ? 1 : 0;
    return -1;
}

void ContainerWriter::muxingLoop()
{
    for (;;) {
        Queued item;
        int which;
        int queued;
        {
            std::unique_lock<std::mutex> lock(m_queueMutex);
            m_queueCond.wait(lock, [this] { return m_stopping || nextQueue() >= 0; });
            if (m_failed.load()) {
                m_videoQueue.clear();
                m_audioQueue.clear();
            }
            if (m_stopping && (m_aborted.load() || !takesPackets()))
                return;
            which = nextQueue();
            if (which < 0) {
                if (m_stopping)
                    return;
                continue;
            }
            std::deque<Queued>& queue = which == 0 ? m_videoQueue : m_audioQueue;
            item = std::move(queue.front());
            queue.pop_front();
            queued = static_cast<int>(queue.size());
        }
        bool ok = true;
        bool linkFresh = false;
        LinkStatistics link;
        {
            std::lock_guard<std::mutex> lock(m_muxMutex);
            // The output may have dropped the container since the packet was taken.
            if (m_format && m_headerWritten.load()) {
                m_output->ioBegin();
                ok = which == 0 ? writeVideoPacket(item) : writeAudioPacket(item);
                m_output->ioEnd();
                linkFresh = m_output->takeLinkStatistics(&link);
            }
        }
        item.packet.reset();
        if (!ok) {
            // A finished output takes nothing more; one that goes on empties the queues
            // itself when it drops the container.
            if (m_failed.load()) {
                std::lock_guard<std::mutex> lock(m_queueMutex);
                m_videoQueue.clear();
                m_audioQueue.clear();
            }
            continue;
        }
        m_reports.send([&](IMuxerCallback& callback) {
            if (linkFresh)
                callback.linkStatistics(link);
            if (which == 0)
                callback.videoWriteTs(av_q2d(av_inv_q(m_setup.frameRate())), queued);
            else
                callback.audioWriteTs(static_cast<double>(item.duration) / m_setup.sampleRate(),
                                      queued);
        });
    }
}

bool ContainerWriter::writeVideoPacket(Queued& item)
{
    if (!item.packet)
        return true; // a skipped frame: only the written time moves on
    AVPacket* pkt = item.packet.get();
    const AVRational codecTb = av_inv_q(m_setup.frameRate());
    pkt->pts = pkt->dts = av_rescale_q(item.pts, codecTb, m_videoTimeBase);
    pkt->duration = av_rescale_q(1, codecTb, m_videoTimeBase);
    pkt->stream_index = m_videoStream->index;
    if (m_colourFilter) {
        // The metadata filter gives one packet back for each it takes; should it fail, the
        // packet is written as the encoder made it.
        AVPacketPtr original(av_packet_clone(pkt));
        if (av_bsf_send_packet(m_colourFilter.get(), pkt) != 0 ||
            av_bsf_receive_packet(m_colourFilter.get(), pkt) != 0) {
            av_packet_unref(pkt);
            if (original)
                av_packet_move_ref(pkt, original.get());
        }
    }
    if (item.origin >= 0 && m_timing.load())
        m_unwritten.push_back(Unwritten{m_videoHanded, item.origin});
    ++m_videoHanded;
    return writePacket(pkt, "video");
}

bool ContainerWriter::writeAudioPacket(Queued& item)
{
    AVPacket* pkt = item.packet.get();
    const AVRational codecTb{1, m_setup.sampleRate()};
    pkt->pts = pkt->dts = av_rescale_q(item.pts, codecTb, m_audioTimeBase);
    pkt->duration = av_rescale_q(item.duration, codecTb, m_audioTimeBase);
    pkt->flags |= AV_PKT_FLAG_KEY;
    pkt->stream_index = m_audioStream->index;
    return writePacket(pkt, "audio");
}

bool ContainerWriter::writePacket(AVPacket* pkt, const char* what)
{
    const int stream = pkt->stream_index;
    const int64_t end = pkt->pts + pkt->duration;
    const int result = m_setup.row().interleave == ContainerTable::Interleave::Direct
                           ? av_write_frame(m_format, pkt)
                           : av_interleaved_write_frame(m_format, pkt);
    if (result < 0) {
        fail(what, result);
        return false;
    }
    m_wroteStreamData = true;
    m_output->packetWritten(m_streamEnds);
    if (stream >= 0 && static_cast<size_t>(stream) < m_streamEnds.size())
        m_streamEnds[static_cast<size_t>(stream)] =
            std::max(m_streamEnds[static_cast<size_t>(stream)], end);
    if (!m_unwritten.empty())
        reportWritten(false);
    return true;
}

void ContainerWriter::reportWritten(bool all)
{
    IPacketTiming* timing = m_timing.load();
    if (!timing) {
        m_unwritten.clear();
        return;
    }
    // libavformat may hold packets back to interleave the streams: the video stream's frame
    // count says how many it has given to the container format so far. Their bytes then wait in
    // the I/O buffer until it is flushed; what was flushed ends where the buffer begins.
    const AVIOContext* io = m_format ? m_format->pb : nullptr;
    const int64_t position = io ? avio_tell(m_format->pb) : 0;
    const int64_t flushed =
        io ? position - (io->buf_ptr - io->buffer) : std::numeric_limits<int64_t>::max();
    const long long given = m_videoStream ? m_videoStream->nb_frames : 0;
    for (Unwritten& packet : m_unwritten) {
        if (packet.index >= given)
            break;
        if (packet.end < 0)
            packet.end = position;
    }
    const auto now = std::chrono::steady_clock::now();
    while (!m_unwritten.empty() &&
           (all || (m_unwritten.front().end >= 0 && m_unwritten.front().end <= flushed))) {
        timing->packetTime(IPacketTiming::Stage::Written, m_unwritten.front().origin, now);
        m_unwritten.pop_front();
    }
}
