#include "muxer/FFMpegMuxer.h"

#include "base/LogRouting.h"
#include "common/CodecTable.h"
#include "common/Redact.h"
#include "common/StrevoLog.h"
#include "muxer/AvioWriter.h"
#include "muxer/FileWriter.h"
#include "muxer/IMuxerCallback.h"
#include "muxer/LiveUrl.h"
#include "muxer/M2tsWriter.h"
#include "muxer/MovieDurations.h"
#include "muxer/MuxerThread.h"
#include "muxer/RecordingName.h"

#include <QDateTime>
#include <QDebug>
#include <QFile>
#include <QFileInfo>
#include <QUrl>
#include <algorithm>
#include <chrono>

extern "C" {
#include <libavutil/channel_layout.h>
#include <libavutil/opt.h>
#include <libavutil/pixdesc.h>
}

namespace {

bool isH264OrHevc(int id)
{
    return id == AV_CODEC_ID_H264 || id == AV_CODEC_ID_HEVC;
}

// ProRes profiles by the preset's index (Proxy, LT, Standard, HQ, 4444, XQ): players read the
// profile from the QuickTime sample entry's tag.
uint32_t proresTag(int profile)
{
    static const uint32_t tags[] = {MKTAG('a', 'p', 'c', 'o'), MKTAG('a', 'p', 'c', 's'),
                                    MKTAG('a', 'p', 'c', 'n'), MKTAG('a', 'p', 'c', 'h'),
                                    MKTAG('a', 'p', '4', 'h'), MKTAG('a', 'p', '4', 'x')};
    return profile >= 0 && profile < 6 ? tags[profile] : tags[2];
}

// Pairs libavformat writes without complaint but no player reads back: MPEG-TS stores any
// other codec as an opaque data stream, and QuickTime RLE decodes only from QuickTime files.
const char* ownRefusal(const AVOutputFormat* format, int codecId)
{
    const QByteArray name(format->name);
    if (name == "mpegts" || name == "hls") {
        switch (codecId) {
        case AV_CODEC_ID_H264:
        case AV_CODEC_ID_HEVC:
        case AV_CODEC_ID_AAC:
        case AV_CODEC_ID_MP3:
        case AV_CODEC_ID_AC3:
            return nullptr;
        default:
            return "MPEG-TS would carry it as an opaque data stream";
        }
    }
    if (codecId == AV_CODEC_ID_QTRLE && name != "mov")
        return "only QuickTime files carry QuickTime RLE";
    return nullptr;
}

// A seekable output that keeps nothing, for trial headers.
struct NullOutput
{
    int64_t pos = 0;
    int64_t end = 0;
    static int write(void* opaque, AvioWriter::WriteBuffer, int size)
    {
        auto* self = static_cast<NullOutput*>(opaque);
        self->pos += size;
        self->end = std::max(self->end, self->pos);
        return size;
    }
    static int64_t seek(void* opaque, int64_t offset, int whence)
    {
        auto* self = static_cast<NullOutput*>(opaque);
        if (whence == AVSEEK_SIZE)
            return self->end;
        if (whence == SEEK_CUR)
            offset += self->pos;
        else if (whence == SEEK_END)
            offset += self->end;
        else if (whence != SEEK_SET)
            return -1;
        return self->pos = offset;
    }
};

struct FormatContextFree
{
    void operator()(AVFormatContext* c) const { avformat_free_context(c); }
};
struct AvioContextFree
{
    void operator()(AVIOContext* c) const
    {
        av_freep(&c->buffer);
        avio_context_free(&c);
    }
};
struct DictionaryFree
{
    void operator()(AVDictionary* d) const { av_dict_free(&d); }
};
using DictionaryPtr = std::unique_ptr<AVDictionary, DictionaryFree>;

} // namespace

FFMpegMuxer::FFMpegMuxer(IMuxerCallback* callback) : m_callback(callback) {}

FFMpegMuxer::~FFMpegMuxer()
{
    if (m_live) {
        // A live output sends what is queued while it is connected, for at most kLiveDrainMs;
        // a pending connect is cut off at once.
        {
            std::lock_guard<std::mutex> lock(m_queueMutex);
            m_stopping = true;
        }
        m_queueCond.notify_all();
        if (m_link) {
            m_link->beginStop();
            if (m_thread && !m_thread->wait(kLiveDrainMs))
                m_link->abort();
        }
        delete m_thread;
        m_thread = nullptr;
        if (m_link) {
            m_link->joinThread();
            const bool clean = m_link->isConnected() && !m_link->isAborted();
            {
                std::lock_guard<std::mutex> lock(m_muxMutex);
                close(clean); // the trailer goes through the link
            }
            m_link->finish(clean);
            m_link.reset();
        }
        LogRouting::removeSecrets(liveSecrets());
        return;
    }
    {
        // A local recording keeps every queued packet: the loop drains the queues first.
        std::lock_guard<std::mutex> lock(m_queueMutex);
        m_stopping = true;
    }
    m_queueCond.notify_all();
    delete m_thread;
    m_thread = nullptr;
    close();
    m_avio.reset();
    m_writer.reset();
    // A file that got no packet (a failed start, or a pipeline stopped before any frame) holds
    // nothing a player can use: do not leave it behind.
    if (m_createdFile && !m_wroteStreamData) {
        qCDebug(lcStrevo, "FFMPEG: '%s' got no packet; removed",
                qPrintable(redactSecrets(m_preset.local().recordingPath)));
        QFile::remove(m_preset.local().recordingPath);
    }
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
    if (!m_preset.streaming().enabled)
        return open();

    QString why;
    if (!LiveUrl::check(m_preset.streaming(), &why)) {
        qCWarning(lcStrevo, "FFMPEG: live output: %s", qPrintable(why));
        return false;
    }
    if (m_preset.local().enabled)
        qCInfo(lcStrevo,
               "FFMPEG: a live output records nothing locally; its local settings are ignored");
    m_live = true;
    // libavformat and librtmp print URLs in their own lines: mask ours there too.
    LogRouting::addSecrets(liveSecrets());
    if (!prepare())
        return false;
    qCDebug(lcStrevo, "muxer url %s", qPrintable(LiveUrl::masked(m_preset.streaming())));
    m_link = std::make_unique<LiveLink>(static_cast<LiveLink::Container*>(this), m_preset,
                                        LiveUrl::masked(m_preset.streaming()));
    m_thread = new MuxerThread(this);
    m_thread->start(QThread::InheritPriority);
    m_link->start();
    return true;
}

bool FFMpegMuxer::prepare()
{
    const QString container = m_preset.container().format;
    if (m_live) {
        const char* name = LiveUrl::containerFor(LiveUrl::scheme(m_preset.streaming().url));
        m_oformat = name ? av_guess_format(name, nullptr, nullptr) : nullptr;
    } else {
        const QByteArray fileName = "file." + container.toUtf8();
        m_oformat = av_guess_format(nullptr, fileName.constData(), nullptr);
    }
    if (!m_oformat) {
        qCWarning(lcStrevo, "FFMPEG: no container called '%s'", qPrintable(container));
        return false;
    }
    const QByteArray formatName(m_oformat->name);
    m_mpegts = formatName == "mpegts";
    m_fragmented =
        !m_live && m_preset.container().crashSafe && (formatName == "mp4" || formatName == "mov");

    const CodecModel::VideoCodec& video = m_preset.videoCodec();
    const CodecTable::Entry* videoEntry = CodecTable::find(video.codecName);
    if (!videoEntry || videoEntry->kind != CodecTable::Kind::Video) {
        qCWarning(lcStrevo, "FFMPEG: unknown video codec '%s'", qPrintable(video.codecName));
        return false;
    }
    m_videoId = videoEntry->avCodecId;
    if (m_preset.audioCodec().enabled) {
        const CodecTable::Entry* audioEntry = CodecTable::find(m_preset.audioCodec().codecName);
        if (!audioEntry || audioEntry->kind != CodecTable::Kind::Audio) {
            qCWarning(lcStrevo, "FFMPEG: unknown audio codec '%s'",
                      qPrintable(m_preset.audioCodec().codecName));
            return false;
        }
        m_audioId = audioEntry->avCodecId;
        m_audioFrameSize = audioFrameSize(m_audioId, m_preset.audioCodec().sampleRate);
        if (m_audioFrameSize <= 0)
            m_audioFrameSize = 960;
    }
    m_frameRate = CodecTable::frameRate(video.frameRate);
    if (m_frameRate.num <= 0) {
        qCWarning(lcStrevo, "FFMPEG: frame rate %g", video.frameRate);
        return false;
    }
    return containerTakesCodecs(m_oformat);
}

bool FFMpegMuxer::open()
{
    if (!prepare())
        return false;
    CodecModel::Local& local = m_preset.local();
    if (local.enabled) {
        QString why;
        const QString path = RecordingName::partPath(m_preset, m_part, m_firstPart,
                                                     QDateTime::currentDateTime(), &why);
        if (path.isEmpty()) {
            qCWarning(lcStrevo, "FFMPEG: %s", qPrintable(why));
            return false;
        }
        local.recordingPath = path;
    }
    if (!openOutput())
        return false;
    m_thread = new MuxerThread(this);
    m_thread->start(QThread::InheritPriority);
    return true;
}

bool FFMpegMuxer::openOutput()
{
    m_format = avformat_alloc_context();
    if (!m_format) {
        qCWarning(lcStrevo, "FFMPEG: cannot allocate the output context");
        return false;
    }
    m_format->oformat = m_oformat;
    // Muxers that name their own files (m3u8 segments) or look at the extension (.m2ts packets
    // of 192 bytes) read the url.
    m_format->url = av_strdup(QFile::encodeName(m_preset.local().recordingPath).constData());
    if (!addStreams(m_format, &m_videoStream, &m_audioStream)) {
        close(false);
        return false;
    }
    if (!(m_oformat->flags & AVFMT_NOFILE)) {
        const QString& path = m_preset.local().recordingPath;
        auto writer = std::make_unique<FileWriter>();
        m_createdFile = !QFileInfo::exists(path);
        if (!writer->open(path)) {
            m_createdFile = false;
            qCWarning(lcStrevo, "FFMPEG: cannot open '%s' for writing: %s",
                      qPrintable(redactSecrets(path)), qPrintable(writer->errorText()));
            return false;
        }
        if (m2ts())
            m_writer = std::make_unique<M2tsWriter>(std::move(writer));
        else
            m_writer = std::move(writer);
        m_avio = std::make_unique<AvioWriter>(m_writer.get());
        if (!m_avio->context())
            return false;
        m_format->pb = m_avio->context();
        m_format->flags |= AVFMT_FLAG_CUSTOM_IO;
        // Each packet goes to the file once libavformat has written it, not when the I/O
        // buffer is full: what the container has finished (every MPEG-TS packet, a closed
        // mp4 fragment or mkv cluster) survives a kill of the process, and a low bit rate
        // would otherwise keep seconds in the buffer. No fsync: the kernel has the bytes.
        m_format->flush_packets = 1;
    }
    m_format->max_delay = m_mpegts ? 0 : 100000;
    if (hasVideoHeaders()) {
        std::lock_guard<std::mutex> lock(m_muxMutex);
        return writeHeaderLocked();
    }
    return true;
}

bool FFMpegMuxer::m2ts() const
{
    return !m_live && m_mpegts && m_preset.container().format == QLatin1String("m2ts");
}

bool FFMpegMuxer::hasVideoHeaders() const
{
    std::lock_guard<std::mutex> lock(m_extradataMutex);
    return hasVideoHeadersLocked();
}

bool FFMpegMuxer::hasVideoHeadersLocked() const
{
    return !m_videoExtradata.empty() || (m_videoPar && m_videoPar->extradata_size > 0);
}

QStringList FFMpegMuxer::liveSecrets() const
{
    return LiveUrl::secrets(m_preset.streaming());
}

QString FFMpegMuxer::target() const
{
    return m_live ? LiveUrl::masked(m_preset.streaming())
                  : redactSecrets(m_preset.local().recordingPath);
}

bool FFMpegMuxer::describeVideo(AVCodecParameters* par, const AVOutputFormat* format) const
{
    const CodecModel::VideoCodec& video = m_preset.videoCodec();
    const bool mov = QByteArray(format->name) == "mov";
    std::lock_guard<std::mutex> lock(m_extradataMutex);
    if (m_videoPar) {
        if (avcodec_parameters_copy(par, m_videoPar.get()) < 0)
            return false;
        // An encoder's tag is a QuickTime one; other containers pick their own.
        if (!mov)
            par->codec_tag = 0;
        return true;
    }
    const CodecTable::Entry* entry = CodecTable::find(video.codecName);
    par->codec_type = AVMEDIA_TYPE_VIDEO;
    par->codec_id = static_cast<AVCodecID>(m_videoId);
    par->width = video.width;
    par->height = video.height;
    par->bit_rate = static_cast<int64_t>(video.bitrate) * 1000;
    par->format = entry ? entry->streamPixelFormat : AV_PIX_FMT_YUV420P;
    if (entry && entry->backend == CodecTable::Backend::FFmpegVideo) {
        // The intra codecs code the fields as the preset scans them.
        static const AVFieldOrder orders[] = {AV_FIELD_PROGRESSIVE, AV_FIELD_TT, AV_FIELD_BB};
        if (video.scanMode >= 0 && video.scanMode <= 2)
            par->field_order = orders[video.scanMode];
    }
    if (m_videoId == AV_CODEC_ID_PRORES) {
        par->profile = video.codecProfile;
        if (mov)
            par->codec_tag = proresTag(video.codecProfile);
    }
    if (m_videoId == AV_CODEC_ID_QTRLE)
        par->bits_per_coded_sample =
            av_get_bits_per_pixel(av_pix_fmt_desc_get(static_cast<AVPixelFormat>(par->format)));
    return true;
}

bool FFMpegMuxer::describeAudio(AVCodecParameters* par, const AVOutputFormat*) const
{
    const CodecModel::AudioCodec& audio = m_preset.audioCodec();
    par->codec_type = AVMEDIA_TYPE_AUDIO;
    par->codec_id = static_cast<AVCodecID>(m_audioId);
    av_channel_layout_default(&par->ch_layout, audio.channels > 0 ? audio.channels : 1);
    par->format = AV_SAMPLE_FMT_S16;
    par->sample_rate = audio.sampleRate;
    par->bit_rate = static_cast<int64_t>(audio.bitrate) * 1000;
    par->frame_size = audioFrameSize(m_audioId, audio.sampleRate);
    // libavcodec's AAC encoder primes with one frame; containers that can say so (mp4, mkv)
    // then start the sound where the picture starts.
    if (m_audioId == AV_CODEC_ID_AAC)
        par->initial_padding = 1024;
    if (m_audioId == AV_CODEC_ID_PCM_S16LE) {
        par->bits_per_coded_sample = 16;
        par->block_align = 2 * par->ch_layout.nb_channels;
        par->bit_rate = static_cast<int64_t>(par->block_align) * audio.sampleRate * 8;
    }
    std::lock_guard<std::mutex> lock(m_extradataMutex);
    if (!m_audioExtradata.empty()) {
        par->extradata = static_cast<uint8_t*>(
            av_mallocz(m_audioExtradata.size() + AV_INPUT_BUFFER_PADDING_SIZE));
        if (!par->extradata)
            return false;
        std::copy(m_audioExtradata.begin(), m_audioExtradata.end(), par->extradata);
        par->extradata_size = static_cast<int>(m_audioExtradata.size());
    }
    return true;
}

bool FFMpegMuxer::addStreams(AVFormatContext* format, AVStream** video, AVStream** audio) const
{
    *video = avformat_new_stream(format, nullptr);
    if (!*video || !describeVideo((*video)->codecpar, format->oformat))
        return false;
    (*video)->id = 0;
    (*video)->avg_frame_rate = m_frameRate;
    (*video)->r_frame_rate = m_frameRate;
    (*video)->time_base = av_inv_q(m_frameRate);
    *audio = nullptr;
    if (m_audioId == AV_CODEC_ID_NONE)
        return true;
    *audio = avformat_new_stream(format, nullptr);
    if (!*audio || !describeAudio((*audio)->codecpar, format->oformat))
        return false;
    (*audio)->id = 1;
    (*audio)->time_base = AVRational{1, std::max(m_preset.audioCodec().sampleRate, 1)};
    return true;
}

AVDictionary* FFMpegMuxer::headerOptions() const
{
    AVDictionary* options = nullptr;
    const QByteArray name(m_oformat->name);
    // A recording cut off at any moment (a crash, kill -9, a full disk) plays up to its last
    // complete fragment: one starts at each key frame and at least every kCrashLossMs, since
    // the fragment being filled stays in memory and a key-frame interval can be far longer.
    // A fragment that starts on a non-key frame decodes from the key frame before it.
    if (m_fragmented) {
        av_dict_set(&options, "movflags", "frag_keyframe+empty_moov+default_base_moof", 0);
        av_dict_set_int(&options, "frag_duration", kCrashLossMs * 1000LL, 0); // microseconds
    }
    // Matroska keeps the cluster being filled in memory too, and by default closes it only at
    // a key frame or after 5 s: close it every kCrashLossMs as well. Always, not only for a
    // crash-safe preset: mkv is expected to survive a crash, and a cluster per second costs a
    // few bytes. The limit counts from the cluster's first block and a block more than the
    // limit after it starts the next cluster, hence one millisecond less.
    if (!m_live && (name == "matroska" || name == "webm"))
        av_dict_set_int(&options, "cluster_time_limit", kCrashLossMs - 1, 0);
    // .m2ts: libavformat writes a plain transport stream, which M2tsWriter frames.
    if (m2ts())
        av_dict_set(&options, "mpegts_m2ts_mode", "0", 0);
    if (m_live && name == "flv")
        av_dict_set(&options, "flvflags", "no_duration_filesize", 0); // nothing to seek back to
    // RTP over the RTSP connection itself: one TCP connection that gets through firewalls and
    // loses nothing.
    if (m_live && name == "rtsp")
        av_dict_set(&options, "rtsp_transport", "tcp", 0);
    return options;
}

bool FFMpegMuxer::containerTakesCodecs(const AVOutputFormat* format) const
{
    const QString container = m_preset.container().format;
    // id NONE: the pair as a whole.
    const auto refuse = [&](int id, const char* why) {
        QString codecs =
            id == m_audioId && id != AV_CODEC_ID_NONE ? QString() : m_preset.videoCodec().codecName;
        if (m_audioId != AV_CODEC_ID_NONE && id != m_videoId)
            codecs += (codecs.isEmpty() ? QString() : QStringLiteral(" + ")) +
                      m_preset.audioCodec().codecName;
        qCWarning(lcStrevo, "FFMPEG: container '%s' does not take %s: %s", qPrintable(container),
                  qPrintable(codecs), why);
        return false;
    };
    const auto queryCodecs = [&] {
        for (int id : {m_videoId, m_audioId}) {
            if (id != AV_CODEC_ID_NONE &&
                avformat_query_codec(format, static_cast<AVCodecID>(id), FF_COMPLIANCE_NORMAL) == 0)
                return refuse(id, "libavformat has no tag for it in this container");
        }
        return true;
    };
    // A recording in one of the catalogue's containers takes the pairs the codec table lists,
    // which players besides FFmpeg read; libavformat writes a few more (VP9 in AVI, Vorbis in
    // AVI) that they do not. Asked after libavformat, whose reasons say more; other containers
    // are left to it.
    const auto tableTakes = [&] {
        int containerCount = 0;
        const CodecTable::ContainerName* names = CodecTable::containers(&containerCount);
        const bool listed = std::any_of(names, names + containerCount, [&](const auto& c) {
            return container == QLatin1String(c.name);
        });
        if (m_live || !listed)
            return true;
        const CodecTable::Entry* video = CodecTable::find(m_preset.videoCodec().codecName);
        const CodecTable::Entry* audio = m_audioId == AV_CODEC_ID_NONE
                                             ? nullptr
                                             : CodecTable::find(m_preset.audioCodec().codecName);
        if (video && !CodecTable::fits(*video, container))
            return refuse(m_videoId, "other players do not read it in this container");
        if (audio && !CodecTable::fits(*audio, container))
            return refuse(m_audioId, "other players do not read it in this container");
        return true;
    };
    for (int id : {m_videoId, m_audioId}) {
        if (id == AV_CODEC_ID_NONE)
            continue;
        if (const char* why = ownRefusal(format, id))
            return refuse(id, why);
    }
    // Without its parameter sets an H.264/HEVC header cannot be written (the encoder hands
    // them over with its first packet): the tag check has to do.
    if (isH264OrHevc(m_videoId) && !hasVideoHeaders())
        return queryCodecs() && tableTakes();
    // A container that opens its own connection (RTSP) cannot be tried offline.
    if (format->flags & AVFMT_NOFILE && QByteArray(format->name) != "hls")
        return queryCodecs() && tableTakes();

    // The playlist muxer writes segment files of its own: try its segments' format instead.
    const AVOutputFormat* trial =
        QByteArray(format->name) == "hls" ? av_guess_format("mpegts", nullptr, nullptr) : format;
    AVFormatContext* raw = nullptr;
    if (avformat_alloc_output_context2(&raw, trial, nullptr, nullptr) < 0 || !raw)
        return false;
    std::unique_ptr<AVFormatContext, FormatContextFree> ctx(raw);
    AVStream* video = nullptr;
    AVStream* audio = nullptr;
    if (!addStreams(ctx.get(), &video, &audio))
        return false;
    std::unique_lock<std::mutex> extradataLock(m_extradataMutex);
    if (video->codecpar->extradata_size == 0 && !m_videoExtradata.empty()) {
        video->codecpar->extradata = static_cast<uint8_t*>(
            av_mallocz(m_videoExtradata.size() + AV_INPUT_BUFFER_PADDING_SIZE));
        if (!video->codecpar->extradata)
            return false;
        std::copy(m_videoExtradata.begin(), m_videoExtradata.end(), video->codecpar->extradata);
        video->codecpar->extradata_size = static_cast<int>(m_videoExtradata.size());
    }
    extradataLock.unlock();
    NullOutput sink;
    auto* buffer = static_cast<unsigned char*>(av_malloc(4096));
    if (!buffer)
        return false;
    std::unique_ptr<AVIOContext, AvioContextFree> pb(
        avio_alloc_context(buffer, 4096, 1, &sink, nullptr, &NullOutput::write, &NullOutput::seek));
    if (!pb) {
        av_free(buffer);
        return false;
    }
    ctx->pb = pb.get();
    ctx->flags |= AVFMT_FLAG_CUSTOM_IO;
    AVDictionary* raw_options = headerOptions();
    int result = avformat_write_header(ctx.get(), &raw_options);
    DictionaryPtr options(raw_options);
    if (result >= 0)
        result = av_write_trailer(ctx.get());
    // libavformat has logged its reason; name the pair too.
    if (result < 0)
        return refuse(AV_CODEC_ID_NONE, avErrorText(result).constData());
    return queryCodecs() && tableTakes();
}

bool FFMpegMuxer::setUpColourFilter()
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

bool FFMpegMuxer::writeHeaderLocked(QString* why)
{
    AVCodecParameters* par = m_videoStream->codecpar;
    std::unique_lock<std::mutex> extradataLock(m_extradataMutex);
    if (!m_videoExtradata.empty() && par->extradata_size == 0) {
        par->extradata = static_cast<uint8_t*>(
            av_mallocz(m_videoExtradata.size() + AV_INPUT_BUFFER_PADDING_SIZE));
        if (par->extradata) {
            std::copy(m_videoExtradata.begin(), m_videoExtradata.end(), par->extradata);
            par->extradata_size = static_cast<int>(m_videoExtradata.size());
        }
    }
    extradataLock.unlock();
    if (isH264OrHevc(par->codec_id) && par->extradata_size > 0 && !m_colourFilter &&
        !setUpColourFilter())
        qCDebug(lcStrevo,
                "FFMPEG: colour metadata filter unavailable; writing the stream as it is");

    AVDictionary* raw = headerOptions();
    const int result = avformat_write_header(m_format, &raw);
    DictionaryPtr options(raw);
    if (result < 0) {
        const QString reason = m_writer && !m_writer->errorText().isEmpty()
                                   ? m_writer->errorText()
                                   : QString::fromUtf8(avErrorText(result));
        if (why)
            *why = reason;
        if (!m_live)
            qCWarning(lcStrevo, "FFMPEG: cannot write the header of '%s': %s", qPrintable(target()),
                      qPrintable(reason));
        return false;
    }
    m_videoTimeBase = m_videoStream->time_base;
    if (m_audioStream)
        m_audioTimeBase = m_audioStream->time_base;
    m_streamEnds.assign(m_format->nb_streams, 0);
    if (m_fragmented && m_writer) {
        avio_flush(m_format->pb); // the movie header goes to the file now
        auto durations = std::make_unique<MovieDurations>();
        if (durations->locate(m_preset.local().recordingPath))
            m_durations = std::move(durations);
        else
            qCDebug(lcStrevo, "FFMPEG: no movie header found in '%s'; its lengths stay as written",
                    qPrintable(target()));
    }
    m_headerWritten.store(true);
    {
        std::lock_guard<std::mutex> lock(m_queueMutex);
    }
    m_queueCond.notify_all();
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
    if (m_live)
        return true; // the link writes the header whenever it opens the output
    if (!m_format)
        return false;
    std::lock_guard<std::mutex> lock(m_muxMutex);
    return writeHeaderLocked();
}

bool FFMpegMuxer::writeVideo(AVPacketPtr packet, bool keyFrame)
{
    if (m_failed.load())
        return false;
    if (!packet)
        return true;
    if (m_live && !liveConnected()) {
        countLiveDrops(1);
        return true;
    }
    {
        std::unique_lock<std::mutex> lock(m_queueMutex);
        if (m_live && m_videoQueue.size() > backlogLimit()) {
            // The server takes less than the stream: start again from a key frame rather
            // than fall further behind.
            lock.unlock();
            countLiveDrops(1);
            m_link->requestReopen(
                QStringLiteral("more than %1 s of video waited for the server (%2 packets)")
                    .arg(backlogLimit() / std::max(m_preset.videoCodec().frameRate, 1.0), 0, 'g', 3)
                    .arg(backlogLimit()));
            return true;
        }
        if (!m_keyFrameSeen) {
            if (!keyFrame) {
                // A file starts with a key frame; a live stream asks for one.
                const bool ask = m_live && !m_keyFrameAsked;
                m_keyFrameAsked = true;
                lock.unlock();
                if (ask) {
                    std::lock_guard<std::mutex> report(m_callbackMutex);
                    if (m_callback)
                        m_callback->keyFrameWanted();
                }
                return true;
            }
            m_keyFrameSeen = true;
        }
        if (keyFrame)
            packet->flags |= AV_PKT_FLAG_KEY;
        else
            packet->flags &= ~AV_PKT_FLAG_KEY;
        m_videoQueue.push_back(Queued{std::move(packet), m_queuedVideoFrames++});
        m_videoFrames.store(m_queuedVideoFrames);
    }
    m_queueCond.notify_one();
    return true;
}

bool FFMpegMuxer::writeAudio(AVPacketPtr packet)
{
    if (m_failed.load())
        return false;
    if (!packet || m_audioId == AV_CODEC_ID_NONE)
        return true;
    if (m_live && !liveConnected()) {
        countLiveDrops(1);
        return true;
    }
    {
        std::lock_guard<std::mutex> lock(m_queueMutex);
        if (!m_keyFrameSeen)
            return true; // the sound starts with the picture
        const int64_t samples = packet->duration > 0 ? packet->duration : m_audioFrameSize;
        m_audioQueue.push_back(Queued{std::move(packet), m_queuedAudioSamples, samples});
        m_queuedAudioSamples += samples;
    }
    m_queueCond.notify_one();
    return true;
}

void FFMpegMuxer::skipVideoFrame()
{
    if (m_live && !liveConnected())
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

int FFMpegMuxer::skipAudioFrame()
{
    {
        std::lock_guard<std::mutex> lock(m_queueMutex);
        m_queuedAudioSamples += m_audioFrameSize;
    }
    m_queueCond.notify_one();
    return m_audioFrameSize;
}

void FFMpegMuxer::setVideoParameters(const AVCodecParameters* par)
{
    {
        std::lock_guard<std::mutex> lock(m_extradataMutex);
        m_videoPar.reset();
        if (!par)
            return;
        m_videoPar.reset(avcodec_parameters_alloc());
        if (m_videoPar && avcodec_parameters_copy(m_videoPar.get(), par) < 0)
            m_videoPar.reset();
    }
    m_extradataCond.notify_all();
}

void FFMpegMuxer::setVideoExtradata(unsigned char* data, unsigned int size)
{
    {
        std::lock_guard<std::mutex> lock(m_extradataMutex);
        if (size == 0 || !data || !m_videoExtradata.empty())
            return; // the first non-empty headers win
        m_videoExtradata.assign(data, data + size);
    }
    m_extradataCond.notify_all();
}

void FFMpegMuxer::setAudioExtradata(unsigned char* data, unsigned int size)
{
    if (size == 0 || !data)
        return;
    std::lock_guard<std::mutex> lock(m_extradataMutex);
    m_audioExtradata.assign(data, data + size); // always the latest copy
}

void FFMpegMuxer::setReserved(unsigned int value)
{
    m_reserved = value;
}

void FFMpegMuxer::setPart(int part, const QString& firstPart)
{
    m_part = part;
    m_firstPart = firstPart;
}

long long FFMpegMuxer::videoFrameCount()
{
    return m_videoFrames.load();
}

void FFMpegMuxer::detachCallback()
{
    std::lock_guard<std::mutex> lock(m_callbackMutex);
    m_callback = nullptr;
}

void FFMpegMuxer::abort()
{
    m_aborted.store(true);
    if (m_link)
        m_link->abort();
    m_queueCond.notify_all();
}

const QString& FFMpegMuxer::recordingPath()
{
    return m_preset.local().recordingPath;
}

// ---- the muxing thread ------------------------------------------------------------------

int FFMpegMuxer::nextQueue() const
{
    if (!m_headerWritten.load() || m_failed.load() || (m_live && !liveConnected()))
        return -1;
    const Queued* v = m_videoQueue.empty() ? nullptr : &m_videoQueue.front();
    const Queued* a = m_audioQueue.empty() ? nullptr : &m_audioQueue.front();
    if (!a && !v)
        return -1;
    if (!a)
        return 0;
    if (!v && !m_mpegts)
        return 1;
    const AVRational videoTb = av_inv_q(m_frameRate);
    const AVRational audioTb{1, std::max(m_preset.audioCodec().sampleRate, 1)};
    if (!m_mpegts)
        return av_compare_ts(a->pts, audioTb, v->pts, videoTb) <= 0 ? 1 : 0;
    // MPEG-TS is written with no interleaving delay, so the earlier stamp goes first (ties to
    // audio). An empty queue stands for the stamp its next packet will get: a packet is
    // written only when nothing earlier can still arrive.
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

void FFMpegMuxer::muxingLoop()
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
            if (m_stopping && (m_aborted.load() || (m_live && !liveConnected())))
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
            // A live output's link may have dropped the container since the packet was taken.
            if (m_format && m_headerWritten.load()) {
                if (m_link)
                    m_link->ioBegin();
                ok = which == 0 ? writeVideoPacket(item) : writeAudioPacket(item);
                if (m_link) {
                    m_link->ioEnd();
                    linkFresh = m_link->takeLinkStatistics(&link);
                }
            }
        }
        item.packet.reset();
        if (!ok) {
            if (m_live)
                continue; // the link empties the queues when it drops the container
            std::lock_guard<std::mutex> lock(m_queueMutex);
            m_videoQueue.clear();
            m_audioQueue.clear();
            continue;
        }
        std::lock_guard<std::mutex> report(m_callbackMutex);
        if (!m_callback)
            continue;
        if (linkFresh)
            m_callback->linkStatistics(link);
        if (which == 0)
            m_callback->videoWriteTs(av_q2d(av_inv_q(m_frameRate)), queued);
        else
            m_callback->audioWriteTs(static_cast<double>(item.duration) /
                                         std::max(m_preset.audioCodec().sampleRate, 1),
                                     queued);
    }
}

bool FFMpegMuxer::writeVideoPacket(Queued& item)
{
    if (!item.packet)
        return true; // a skipped frame: only the written time moves on
    AVPacket* pkt = item.packet.get();
    const AVRational codecTb = av_inv_q(m_frameRate);
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
    return writePacket(pkt, "video");
}

bool FFMpegMuxer::writeAudioPacket(Queued& item)
{
    AVPacket* pkt = item.packet.get();
    const AVRational codecTb{1, std::max(m_preset.audioCodec().sampleRate, 1)};
    pkt->pts = pkt->dts = av_rescale_q(item.pts, codecTb, m_audioTimeBase);
    pkt->duration = av_rescale_q(item.duration, codecTb, m_audioTimeBase);
    pkt->flags |= AV_PKT_FLAG_KEY;
    pkt->stream_index = m_audioStream->index;
    return writePacket(pkt, "audio");
}

bool FFMpegMuxer::writePacket(AVPacket* pkt, const char* what)
{
    const int stream = pkt->stream_index;
    const int64_t end = pkt->pts + pkt->duration;
    // A fragmented file gets bytes only when a fragment is complete, and such a fragment holds
    // what was written before this packet: the header then says as much.
    const long long sizeBefore = m_durations ? m_writer->size() : 0;
    const int result = av_interleaved_write_frame(m_format, pkt);
    if (result < 0) {
        fail(what, result);
        return false;
    }
    m_wroteStreamData = true;
    if (m_durations && m_writer->size() != sizeBefore)
        m_durations->write(m_streamEnds);
    if (stream >= 0 && static_cast<size_t>(stream) < m_streamEnds.size())
        m_streamEnds[static_cast<size_t>(stream)] =
            std::max(m_streamEnds[static_cast<size_t>(stream)], end);
    return true;
}

void FFMpegMuxer::fail(const char* what, int result)
{
    if (m_live) {
        // A broken connection: the output is opened again, not finished. A reason the
        // transport gave first is the one kept.
        m_link->requestReopen(
            QStringLiteral("writing %1 failed: %2")
                .arg(QLatin1String(what), QString::fromUtf8(avErrorText(result))));
        return;
    }
    if (m_failed.exchange(true))
        return;
    const QString reason = m_writer && !m_writer->errorText().isEmpty()
                               ? m_writer->errorText()
                               : QString::fromUtf8(avErrorText(result));
    qCWarning(lcStrevo, "FFMPEG: writing %s to '%s' failed: %s; the recording ends here", what,
              qPrintable(redactSecrets(m_preset.local().recordingPath)), qPrintable(reason));
}

// ---- closing ----------------------------------------------------------------------------

void FFMpegMuxer::close(bool trailer)
{
    std::unique_lock<std::mutex> lock(m_muxMutex, std::defer_lock);
    if (!m_live)
        lock.lock(); // a live output's connection thread (or destructor) holds it or needs none
    if (m_format) {
        if (trailer && m_headerWritten.load()) {
            if (m_link)
                m_link->ioBegin();
            const int result = av_write_trailer(m_format);
            if (m_link)
                m_link->ioEnd();
            if (result < 0 && !m_failed.load() && !m_live)
                fail("the end", result);
            if (result >= 0 && m_durations)
                m_durations->write(m_streamEnds);
        }
        m_durations.reset();
        if (m_live && m_liveIo) {
            av_freep(&m_liveIo->buffer);
            avio_context_free(&m_liveIo);
        }
        m_format->pb = nullptr; // owned by m_avio or m_liveIo
        avformat_free_context(m_format);
        m_format = nullptr;
    }
    m_liveIo = nullptr;
    m_videoStream = nullptr;
    m_audioStream = nullptr;
    m_colourFilter.reset();
    m_headerWritten.store(false);
}

// ---- live outputs -----------------------------------------------------------------------

size_t FFMpegMuxer::backlogLimit() const
{
    const int seconds = m_preset.processing().liveBacklogSeconds > 0
                            ? m_preset.processing().liveBacklogSeconds
                            : kDefaultBacklogSeconds;
    return static_cast<size_t>(seconds * m_preset.videoCodec().frameRate);
}

bool FFMpegMuxer::waitForVideoHeaders()
{
    constexpr auto kWait = std::chrono::seconds(5);
    constexpr auto kStep = std::chrono::milliseconds(100); // checks for a stop in between
    const auto deadline = std::chrono::steady_clock::now() + kWait;
    std::unique_lock<std::mutex> lock(m_extradataMutex);
    while (!hasVideoHeadersLocked() && !m_link->isAborted() &&
           std::chrono::steady_clock::now() < deadline)
        m_extradataCond.wait_for(lock, kStep);
    return hasVideoHeadersLocked();
}

bool FFMpegMuxer::openContainer(ILiveTransport* transport, QString* reason)
{
    // An H.264/HEVC header carries the encoder's parameter sets, which come with its first
    // packet at the latest; other codecs have no headers to wait for.
    if (isH264OrHevc(m_videoId) && !waitForVideoHeaders()) {
        *reason = QStringLiteral("the encoder gave no stream headers");
        return false;
    }
    std::lock_guard<std::mutex> lock(m_muxMutex);
    m_format = avformat_alloc_context();
    if (!m_format) {
        *reason = QStringLiteral("out of memory");
        return false;
    }
    m_format->oformat = m_oformat;
    m_format->url = av_strdup(LiveUrl::build(m_preset.streaming()).toLocal8Bit().constData());
    // A container that connects by itself (RTSP) gives up when the link says so.
    m_format->interrupt_callback = AVIOInterruptCB{&LiveLink::interruptCheck, m_link.get()};
    if (!addStreams(m_format, &m_videoStream, &m_audioStream) ||
        (transport->carriesBytes() && !attachLinkIo(transport->pieceSize()))) {
        close(false);
        *reason = QStringLiteral("out of memory");
        return false;
    }
    m_format->max_delay = m_mpegts ? 0 : 100000;
    QString why;
    if (!writeHeaderLocked(&why)) {
        close(false);
        *reason = QStringLiteral("the stream's header did not go through: ") + why;
        return false;
    }
    return true;
}

void FFMpegMuxer::closeContainer()
{
    long long discarded = 0;
    {
        // A write blocked on the broken link holds this lock until the link cuts it off.
        std::lock_guard<std::mutex> lock(m_muxMutex);
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
        close(false); // the old connection is broken or being replaced: no trailer
        m_reserved = 0;
    }
    if (discarded > 0)
        countLiveDrops(discarded);
    std::lock_guard<std::mutex> lock(m_callbackMutex);
    if (m_callback) {
        m_callback->audioWriteTs(0.0, 0);
        m_callback->videoWriteTs(0.0, 0);
    }
}

void FFMpegMuxer::reportLink(LiveState state, int reconnects, long long liveMs,
                             const QString& reason)
{
    std::lock_guard<std::mutex> lock(m_callbackMutex);
    if (!m_callback)
        return;
    m_callback->liveAccount(liveMs, reason);
    // The account may change without the state: the state is reported only when it changes.
    if (state != m_reportedState) {
        m_reportedState = state;
        m_callback->liveStateChanged(state, reconnects, m_liveDrops.load());
    }
}

bool FFMpegMuxer::attachLinkIo(int bufferSize)
{
    auto* buffer = static_cast<unsigned char*>(av_malloc(static_cast<size_t>(bufferSize)));
    if (!buffer)
        return false;
    m_liveIo =
        avio_alloc_context(buffer, bufferSize, 1, m_link.get(), nullptr, &linkWrite, nullptr);
    if (!m_liveIo) {
        av_free(buffer);
        return false;
    }
    m_liveIo->max_packet_size = bufferSize; // each full buffer goes out as one piece
    m_format->pb = m_liveIo;
    m_format->flags |= AVFMT_FLAG_CUSTOM_IO;
    return true;
}

int FFMpegMuxer::linkWrite(void* opaque, AvioWriter::WriteBuffer buffer, int size)
{
    // Runs under m_muxMutex. A refused write means the link broke (it is marked so).
    return static_cast<LiveLink*>(opaque)->write(buffer, size) ? size : AVERROR(EPIPE);
}

void FFMpegMuxer::countLiveDrops(long long count)
{
    const long long total = m_liveDrops.fetch_add(count) + count;
    std::lock_guard<std::mutex> lock(m_callbackMutex);
    if (m_callback)
        m_callback->liveDropped(total);
}
