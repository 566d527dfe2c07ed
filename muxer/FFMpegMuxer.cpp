#include "muxer/FFMpegMuxer.h"

#include "api/Strevo.h"
#include "encoder/IMuxerCallback.h"
#include "muxer/AvioWriter.h"
#include "muxer/FileWriter.h"
#include "muxer/MuxerThread.h"
#include "muxer/RecordingName.h"

#include <QDateTime>
#include <QDebug>
#include <QFileInfo>
#include <QUrl>
#include <cmath>
#include <mutex>

extern "C" {
#include <libavutil/channel_layout.h>
#include <libavutil/opt.h>
}

namespace {

constexpr unsigned long kIdleWaitMs = 5;

bool isH264OrHevc(int id)
{
    return id == AV_CODEC_ID_H264 || id == AV_CODEC_ID_HEVC;
}

bool muxerOpensEncoder(int id)
{
    return id == AV_CODEC_ID_QTRLE || id == AV_CODEC_ID_MJPEG || id == AV_CODEC_ID_PRORES;
}

AVPixelFormat streamPixelFormat(int id)
{
    switch (id) {
    case AV_CODEC_ID_QTRLE:
        return AV_PIX_FMT_ARGB;
    case AV_CODEC_ID_MJPEG:
        return AV_PIX_FMT_YUVJ420P;
    case AV_CODEC_ID_PRORES:
        return AV_PIX_FMT_YUV422P10LE;
    default:
        return AV_PIX_FMT_YUV420P;
    }
}

} // namespace

FFMpegMuxer::FFMpegMuxer(IMuxerCallback* callback)
    : m_callback(callback), m_packet(av_packet_alloc())
{
}

FFMpegMuxer::~FFMpegMuxer()
{
    // A local recording keeps every queued packet: the loop drains the queues before it ends.
    if (m_preset.streaming().enabled)
        m_aborted.store(true);
    delete m_thread;
    m_thread = nullptr;
    m_aborted.store(true);
    const bool hadHeader = m_headerWritten.load();
    close();
    m_avio.reset();
    m_writer.reset();
    // A file that never got its header (a failed start, or no frame ever came) holds nothing
    // a player can use: do not leave it behind.
    if (!hadHeader && m_createdFile)
        QFile::remove(m_preset.local().recordingPath);
    dropQueued();
}

AVRational FFMpegMuxer::frameRateRational(double fps)
{
    const AVRational whole = av_d2q(std::round(fps), 1001000);
    const int num = (whole.den ? whole.num / whole.den : 0) * 1000;
    const bool fractional = fps - std::trunc(fps) > 0.0;
    return AVRational{num, fractional ? 1001 : 1000};
}

int FFMpegMuxer::audioFrameSize(int codecId, int sampleRate)
{
    switch (codecId) {
    case AV_CODEC_ID_AAC:
        return 1024;
    // MPEG-1 layer III frames hold 1152 samples; the MPEG-2 and 2.5 rates (below 32 kHz) 576.
    case AV_CODEC_ID_MP3:
        return sampleRate >= 32000 ? 1152 : 576;
    case AV_CODEC_ID_VORBIS:
        return 64;
    case AV_CODEC_ID_PCM_S16LE:
        return 0;
    default:
        return 960;
    }
}

bool FFMpegMuxer::initialize(const CodecPreset& preset)
{
    m_preset = preset;
    if (m_preset.streaming().enabled) {
        qWarning("FFMPEG: live output to '%s' is not available in this build",
                 qPrintable(m_preset.streaming().url));
        return false;
    }
    return open();
}

bool FFMpegMuxer::open()
{
    m_lastWrite.restart();
    CodecModel::Local& local = m_preset.local();
    if (local.enabled && local.recordingPath.isEmpty()) {
        QString why;
        const QString path =
            RecordingName::choosePath(m_preset, QDateTime::currentDateTime(), &why);
        if (path.isEmpty()) {
            qWarning("FFMPEG: %s", qPrintable(why));
            return false;
        }
        local.recordingPath = QFileInfo(path).absoluteFilePath();
    }

    const QByteArray fileName = "file." + m_preset.container().format.toUtf8();
    const AVOutputFormat* format = av_guess_format(nullptr, fileName.constData(), nullptr);
    if (!format) {
        qWarning("FFMPEG: Could not find suitable output format\n");
        return false;
    }
    m_mpegts = QByteArray(format->name) == "mpegts";
    const int videoId = Strevo::codecIdFromName(m_preset.videoCodec().codecName);
    const int audioId = m_preset.audioCodec().enabled
                            ? Strevo::codecIdFromName(m_preset.audioCodec().codecName)
                            : AV_CODEC_ID_NONE;

    m_format = avformat_alloc_context();
    if (!m_format) {
        qWarning("FFMPEG: avformat_alloc_context error\n");
        return false;
    }
    m_format->oformat = format;
    // Muxers that name their own files (m3u8 segments) or look at the extension (.m2ts packets
    // of 192 bytes) read the url.
    m_format->url = av_strdup(QFile::encodeName(local.recordingPath).constData());

    if (!openVideoStream(format, videoId))
        return false;
    if (m_preset.audioCodec().enabled && !openAudioStream(format, audioId))
        return false;

    if (!(format->flags & AVFMT_NOFILE)) {
        auto writer = std::make_unique<FileWriter>();
        m_createdFile = !QFileInfo::exists(local.recordingPath);
        if (!writer->open(local.recordingPath)) {
            m_createdFile = false;
            qWarning("FFMPEG: cannot open '%s' for writing", qPrintable(local.recordingPath));
            return false;
        }
        m_writer = std::move(writer);
        m_avio = std::make_unique<AvioWriter>(m_writer.get());
        if (!m_avio->context())
            return false;
        m_format->pb = m_avio->context();
    }

    if (m_audioStream && !m_audioExtradata.empty())
        setExtradata(m_audioCtx.get(), m_audioExtradata);
    m_format->max_delay = m_mpegts ? 0 : 100000;

    if (!m_videoExtradata.empty() && !m_headerWritten.load()) {
        std::lock_guard<std::mutex> lock(m_muxMutex);
        if (!writeHeaderLocked())
            return false;
    }
    if (!m_thread) {
        m_thread = new MuxerThread(this);
        m_thread->start(QThread::InheritPriority);
    }
    m_opened.store(true);
    m_connected.store(1);
    return true;
}

bool FFMpegMuxer::openVideoStream(const AVOutputFormat* format, int codecId)
{
    const CodecModel::VideoCodec& video = m_preset.videoCodec();
    m_videoStream = avformat_new_stream(m_format, nullptr);
    if (!m_videoStream) {
        qWarning("FFMPEG: Could not alloc video stream\n");
        return false;
    }
    m_videoStream->id = 0;
    const AVRational rate = frameRateRational(video.frameRate);
    m_videoStream->avg_frame_rate = rate;
    m_videoStream->r_frame_rate = rate;
    m_videoStream->time_base = av_inv_q(rate);

    // For the intra codecs the muxer opens an encoder on the stream's context, so that the
    // stream parameters (codec tag, profile, field order) are the encoder's own.
    const AVCodec* encoder = nullptr;
    if (muxerOpensEncoder(codecId)) {
        // prores_ks takes every ProRes profile (4444 and XQ too) from 4:2:2 input.
        if (codecId == AV_CODEC_ID_PRORES)
            encoder = avcodec_find_encoder_by_name("prores_ks");
        if (!encoder)
            encoder = avcodec_find_encoder(static_cast<AVCodecID>(codecId));
        if (!encoder)
            return false;
    }
    m_videoCtx.reset(avcodec_alloc_context3(encoder));
    AVCodecContext* ctx = m_videoCtx.get();
    ctx->codec_type = AVMEDIA_TYPE_VIDEO;
    ctx->codec_id = static_cast<AVCodecID>(codecId);
    ctx->bit_rate = static_cast<int64_t>(video.bitrate) * 1000;
    ctx->width = video.width;
    ctx->height = video.height;
    ctx->time_base = av_inv_q(rate);
    ctx->framerate = rate;
    ctx->pix_fmt = streamPixelFormat(codecId);
    if (format->flags & AVFMT_GLOBALHEADER)
        ctx->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;

    if (encoder) {
        switch (video.scanMode) {
        case 0:
            ctx->field_order = AV_FIELD_PROGRESSIVE;
            m_fieldOrder = 1;
            break;
        case 1:
            ctx->field_order = AV_FIELD_TT;
            m_fieldOrder = 2;
            break;
        case 2:
            ctx->field_order = AV_FIELD_BB;
            m_fieldOrder = 3;
            break;
        default:
            break;
        }
        if (codecId == AV_CODEC_ID_PRORES) {
            ctx->profile = video.codecProfile;
            av_opt_set_int(ctx->priv_data, "profile", video.codecProfile, 0);
        }
        if (avcodec_open2(ctx, encoder, nullptr) < 0)
            return false;
        m_encoderOpened = true;
    }
    return avcodec_parameters_from_context(m_videoStream->codecpar, ctx) >= 0;
}

bool FFMpegMuxer::openAudioStream(const AVOutputFormat* format, int codecId)
{
    const CodecModel::AudioCodec& audio = m_preset.audioCodec();
    m_audioStream = avformat_new_stream(m_format, nullptr);
    if (!m_audioStream) {
        qDebug("FFMPEG: Could not alloc audio stream\n");
        return false;
    }
    m_audioStream->id = 1;
    m_audioCtx.reset(avcodec_alloc_context3(nullptr));
    AVCodecContext* ctx = m_audioCtx.get();
    ctx->codec_type = AVMEDIA_TYPE_AUDIO;
    ctx->codec_id = static_cast<AVCodecID>(codecId);
    av_channel_layout_default(&ctx->ch_layout, audio.channels > 0 ? audio.channels : 1);
    ctx->sample_fmt = AV_SAMPLE_FMT_S16;
    ctx->sample_rate = audio.sampleRate;
    ctx->bit_rate = static_cast<int64_t>(audio.bitrate) * 1000;
    ctx->time_base = AVRational{1, audio.sampleRate > 0 ? audio.sampleRate : 1};
    m_audioStream->time_base = ctx->time_base;
    ctx->frame_size = audioFrameSize(codecId, audio.sampleRate);
    // libavcodec's AAC encoder primes with one frame; containers that can say so (mp4, mkv)
    // then start the sound where the picture starts.
    if (codecId == AV_CODEC_ID_AAC)
        ctx->initial_padding = 1024;
    if (codecId == AV_CODEC_ID_PCM_S16LE) {
        ctx->bits_per_coded_sample = av_get_bits_per_sample(ctx->codec_id);
        ctx->block_align = ctx->bits_per_coded_sample * audio.channels / 8;
        ctx->bit_rate = static_cast<int64_t>(ctx->block_align) * audio.sampleRate * 8;
    }
    m_audioFrameSize = ctx->frame_size > 0 ? ctx->frame_size : 960;
    if (format->flags & AVFMT_GLOBALHEADER)
        ctx->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
    return avcodec_parameters_from_context(m_audioStream->codecpar, ctx) >= 0;
}

void FFMpegMuxer::setExtradata(AVCodecContext* ctx, const std::vector<uint8_t>& bytes)
{
    av_freep(&ctx->extradata);
    ctx->extradata_size = 0;
    if (bytes.empty())
        return;
    ctx->extradata = static_cast<uint8_t*>(av_mallocz(bytes.size() + AV_INPUT_BUFFER_PADDING_SIZE));
    if (!ctx->extradata)
        return;
    std::copy(bytes.begin(), bytes.end(), ctx->extradata);
    ctx->extradata_size = static_cast<int>(bytes.size());
}

bool FFMpegMuxer::setUpColourFilter()
{
    const AVCodecContext* ctx = m_videoCtx.get();
    const AVBitStreamFilter* filter =
        av_bsf_get_by_name(ctx->codec_id == AV_CODEC_ID_H264 ? "h264_metadata" : "hevc_metadata");
    AVBSFContext* bsf = nullptr;
    if (!filter || av_bsf_alloc(filter, &bsf) < 0)
        return false;
    m_colourFilter.reset(bsf);
    // BT.601 (PAL/NTSC values 6) below 720p, BT.709 up to 4K; UHD keeps what the encoder wrote.
    const char* colour = nullptr;
    if (ctx->width < 1280 && ctx->height < 720)
        colour = "6";
    else if (ctx->width < 3840 && ctx->height < 2160)
        colour = "1";
    if (colour) {
        av_opt_set(bsf->priv_data, "colour_primaries", colour, AV_OPT_SEARCH_CHILDREN);
        av_opt_set(bsf->priv_data, "transfer_characteristics", colour, AV_OPT_SEARCH_CHILDREN);
        av_opt_set(bsf->priv_data, "matrix_coefficients", colour, AV_OPT_SEARCH_CHILDREN);
    }
    av_opt_set(bsf->priv_data, "video_full_range_flag", "0", AV_OPT_SEARCH_CHILDREN);
    if (avcodec_parameters_from_context(m_videoStream->codecpar, ctx) < 0 ||
        avcodec_parameters_copy(bsf->par_in, m_videoStream->codecpar) < 0)
        return false;
    bsf->time_base_in = m_videoStream->time_base;
    if (av_bsf_init(bsf) < 0) {
        m_colourFilter.reset();
        return false;
    }
    return avcodec_parameters_copy(m_videoStream->codecpar, bsf->par_out) >= 0;
}

bool FFMpegMuxer::writeHeaderLocked()
{
    if (m_videoStream) {
        if (!m_videoExtradata.empty())
            setExtradata(m_videoCtx.get(), m_videoExtradata);
        if (isH264OrHevc(m_videoCtx->codec_id) && !m_videoExtradata.empty()) {
            if (!m_colourFilter && !setUpColourFilter())
                qDebug("FFMPEG: colour metadata filter unavailable; writing the stream as it is");
            if (m_colourFilter)
                avcodec_parameters_copy(m_videoStream->codecpar, m_colourFilter->par_out);
        }
        if (!m_colourFilter)
            avcodec_parameters_from_context(m_videoStream->codecpar, m_videoCtx.get());
    }
    if (m_audioStream) {
        if (!m_audioExtradata.empty())
            setExtradata(m_audioCtx.get(), m_audioExtradata);
        avcodec_parameters_from_context(m_audioStream->codecpar, m_audioCtx.get());
    }
    const int result = avformat_write_header(m_format, nullptr);
    if (result < 0) {
        qWarning("FFMPEG: avformat_write_header error!\n");
        qDebug("FFMPEG: %s: %s", qPrintable(m_preset.local().recordingPath),
               avErrorText(result).constData());
        return false;
    }
    m_headerWritten.store(true);
    return true;
}

bool FFMpegMuxer::isHeaderWritten()
{
    return m_headerWritten.load();
}

bool FFMpegMuxer::writeHeader()
{
    if (m_headerWritten.load())
        return true;
    if (!m_opened.load() || !m_format)
        return false;
    std::lock_guard<std::mutex> lock(m_muxMutex);
    return writeHeaderLocked();
}

bool FFMpegMuxer::writeVideo(unsigned char* data, unsigned int size, unsigned int keyFrame,
                             long long, long long)
{
    if (m_connected.load() != 1)
        return m_writeStatus.load();
    if (!m_keyFrameSeen.load()) {
        if (!keyFrame)
            return m_writeStatus.load();
        m_keyFrameSeen.store(true);
    }
    const long long frame = m_videoFrames.fetch_add(1);
    const long long pts = av_rescale_q(frame, m_videoCtx->time_base, m_videoStream->time_base);
    m_videoQueue.append(std::make_unique<EncodeData>(data, size, keyFrame ? 1 : 0, pts, pts));
    if (m_thread)
        m_thread->wakeThread();
    return m_writeStatus.load();
}

bool FFMpegMuxer::writeAudio(unsigned char* data, unsigned int size)
{
    if (m_connected.load() != 1 || !m_keyFrameSeen.load() || !m_audioStream)
        return true;
    const long long pts = av_rescale_q(m_audioSamples.fetch_add(m_audioFrameSize),
                                       m_audioCtx->time_base, m_audioStream->time_base);
    m_audioQueue.append(std::make_unique<EncodeData>(data, size, 1, pts, pts));
    if (m_thread)
        m_thread->wakeThread();
    return true;
}

void FFMpegMuxer::skipVideoFrame()
{
    m_videoFrames.fetch_add(1);
}

int FFMpegMuxer::skipAudioFrame()
{
    const int samples =
        m_audioCtx && m_audioCtx->frame_size > 0 ? m_audioCtx->frame_size : m_audioFrameSize;
    m_audioSamples.fetch_add(samples);
    return samples;
}

void FFMpegMuxer::setVideoExtradata(unsigned char* data, unsigned int size)
{
    if (size == 0 || !data || !m_videoExtradata.empty())
        return; // the first non-empty headers win
    m_videoExtradata.assign(data, data + size);
    if (m_videoCtx)
        setExtradata(m_videoCtx.get(), m_videoExtradata);
}

void FFMpegMuxer::setAudioExtradata(unsigned char* data, unsigned int size)
{
    if (size == 0 || !data)
        return;
    m_audioExtradata.assign(data, data + size); // always the latest copy
}

void FFMpegMuxer::setReserved(unsigned int value)
{
    m_reserved = value;
}

long long FFMpegMuxer::videoFrameCount()
{
    return m_videoFrames.load();
}

void FFMpegMuxer::abort()
{
    m_aborted.store(true);
}

const QString& FFMpegMuxer::recordingPath()
{
    return m_preset.local().recordingPath;
}

void FFMpegMuxer::threadCallback()
{
    // Reopening live outputs runs here; local recordings have no such thread.
}

// ---- the muxing thread ------------------------------------------------------------------

void FFMpegMuxer::muxingLoop()
{
    for (;;) {
        bool wrote = false;
        {
            std::lock_guard<std::mutex> lock(m_muxMutex);
            if (m_connected.load() == 1 && m_headerWritten.load())
                wrote = writeOnePass();
        }
        if (m_thread->isExitThread()) {
            // A recording keeps what it was given: finish the queues unless aborted.
            if (!wrote || m_aborted.load())
                return;
            continue;
        }
        if (!wrote)
            m_thread->waitThread(kIdleWaitMs);
    }
}

// Expects m_muxMutex held.
bool FFMpegMuxer::writeOnePass()
{
    if (m_mpegts) {
        // One packet per pass, the earlier stamp first (ties to audio), so that the stream
        // stays interleaved with no delay. An empty queue stands for the stamp its next packet
        // will get: a packet is written only when nothing earlier can still arrive, and
        // neither side waits for the other once the other is ahead.
        if (!m_audioStream)
            return writeVideoPacket();
        EncodeData* a = m_audioQueue.front();
        EncodeData* v = m_videoQueue.front();
        const long long aPts = a ? a->pts()
                                 : av_rescale_q(m_audioSamples.load(), m_audioCtx->time_base,
                                                m_audioStream->time_base);
        const long long vPts =
            v ? v->pts()
              : av_rescale_q(m_videoFrames.load(), m_videoCtx->time_base, m_videoStream->time_base);
        if (a && aPts <= vPts)
            return writeAudioPacket();
        // Video at the very stamp the next audio packet will get goes first when no audio is
        // waiting: the audio side may itself be waiting for this video to be written.
        if (v && (vPts < aPts || (!a && vPts == aPts)))
            return writeVideoPacket();
        // At the end of a recording nothing more arrives: write what is left.
        if (m_thread->isExitThread())
            return a ? writeAudioPacket() : writeVideoPacket();
        return false;
    }
    const bool audio = writeAudioPacket();
    const bool video = writeVideoPacket();
    return audio || video;
}

bool FFMpegMuxer::writeAudioPacket()
{
    std::unique_ptr<EncodeData> record = m_audioQueue.tryTake();
    if (!record)
        return false;
    AVPacket* pkt = m_packet.get();
    if (av_new_packet(pkt, static_cast<int>(record->size())) == 0) {
        std::copy(record->data(), record->data() + record->size(), pkt->data);
        pkt->pts = pkt->dts = record->pts();
        pkt->duration =
            av_rescale_q(m_audioFrameSize, m_audioCtx->time_base, m_audioStream->time_base);
        pkt->flags |= AV_PKT_FLAG_KEY;
        pkt->stream_index = m_audioStream->index;
        m_lastSourceTime = record->sourceTime();
        if (av_interleaved_write_frame(m_format, pkt) != 0)
            qWarning("FFMPEG: Error while writing audio frame");
        av_packet_unref(pkt);
    }
    m_lastWrite.restart();
    if (m_callback)
        m_callback->audioWriteTs(static_cast<double>(m_audioFrameSize) /
                                     m_preset.audioCodec().sampleRate,
                                 m_audioQueue.count());
    return true;
}

bool FFMpegMuxer::writeVideoPacket()
{
    std::unique_ptr<EncodeData> record = m_videoQueue.tryTake();
    if (!record)
        return false;
    AVPacket* pkt = m_packet.get();
    int result = av_new_packet(pkt, static_cast<int>(record->size()));
    if (result == 0) {
        std::copy(record->data(), record->data() + record->size(), pkt->data);
        pkt->pts = pkt->dts = record->pts();
        pkt->duration = av_rescale_q(1, m_videoCtx->time_base, m_videoStream->time_base);
        pkt->stream_index = m_videoStream->index;
        if (record->key() == 1)
            pkt->flags |= AV_PKT_FLAG_KEY;
        if (m_colourFilter) {
            // The metadata filter gives one packet back for each it takes; should it fail,
            // the packet is written as the encoder made it.
            AVPacketPtr original(av_packet_clone(pkt));
            if (av_bsf_send_packet(m_colourFilter.get(), pkt) != 0 ||
                av_bsf_receive_packet(m_colourFilter.get(), pkt) != 0) {
                av_packet_unref(pkt);
                if (original)
                    av_packet_move_ref(pkt, original.get());
            }
        }
        m_lastSourceTime = record->sourceTime();
        result = av_interleaved_write_frame(m_format, pkt);
        av_packet_unref(pkt);
    }
    if (result != 0) {
        m_writeStatus.store(false);
        qWarning("FFMPEG: Error while writing video frame");
        qDebug("FFMPEG: %s: %s", qPrintable(m_preset.local().recordingPath),
               avErrorText(result).constData());
    }
    m_lastWrite.restart();
    if (m_callback)
        m_callback->videoWriteTs(1.0 / m_preset.videoCodec().frameRate, m_videoQueue.count());
    return true;
}

void FFMpegMuxer::dropQueued()
{
    m_videoQueue.clear();
    m_audioQueue.clear();
}

// ---- closing ----------------------------------------------------------------------------

void FFMpegMuxer::close()
{
    if (m_format) {
        if (m_headerWritten.load() && !m_preset.streaming().enabled)
            av_write_trailer(m_format);
        if (m_format->pb && m_avio)
            avio_flush(m_format->pb);
        m_format->pb = nullptr; // owned by m_avio
        avformat_free_context(m_format);
        m_format = nullptr;
    }
    m_videoStream = nullptr;
    m_audioStream = nullptr;
    m_videoCtx.reset();
    m_audioCtx.reset();
    m_colourFilter.reset();
    m_encoderOpened = false;
    m_headerWritten.store(false);
    m_opened.store(false);
}
