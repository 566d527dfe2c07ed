#include "muxer/StreamSetup.h"

#include "common/CodecPreset.h"
#include "common/CodecTable.h"
#include "common/StrevoLog.h"
#include "muxer/FormatHandles.h"
#include "muxer/StreamHeaders.h"

#include <QDebug>
#include <algorithm>

extern "C" {
#include <libavutil/channel_layout.h>
#include <libavutil/pixdesc.h>
}

namespace {

// ProRes profiles by the preset's index (Proxy, LT, Standard, HQ, 4444, XQ): players read the
// profile from the QuickTime sample entry's tag.
uint32_t proresTag(int profile)
{
    static const uint32_t tags[] = {MKTAG('a', 'p', 'c', 'o'), MKTAG('a', 'p', 'c', 's'),
                                    MKTAG('a', 'p', 'c', 'n'), MKTAG('a', 'p', 'c', 'h'),
                                    MKTAG('a', 'p', '4', 'h'), MKTAG('a', 'p', '4', 'x')};
    return profile >= 0 && profile < 6 ? tags[profile] : tags[2];
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

} // namespace

StreamSetup::StreamSetup(const CodecPreset& preset, const StreamHeaders& headers)
    : m_preset(preset), m_headers(headers)
{
}

int StreamSetup::audioFrameSize(int codecId, int sampleRate)
{
    switch (codecId) {
    case AV_CODEC_ID_AAC:
        return 1024;
    // MPEG-1 layer III frames hold 1152 samples; the MPEG-2 and 2.5 rates (below 32 kHz) 576.
    case AV_CODEC_ID_MP3:
        return sampleRate >= 32000 ? 1152 : 576;
    case AV_CODEC_ID_VORBIS:
        return 64;
    case AV_CODEC_ID_FLAC: // the block length FFmpegAudio gives its encoder
        return 4096;
    case AV_CODEC_ID_PCM_S16LE:
        return 0;
    default:
        return 960;
    }
}

bool StreamSetup::videoNeedsHeaders() const
{
    return m_videoId == AV_CODEC_ID_H264 || m_videoId == AV_CODEC_ID_HEVC;
}

int StreamSetup::sampleRate() const
{
    return std::max(m_preset.audioCodec().sampleRate, 1);
}

bool StreamSetup::prepare(const AVOutputFormat* format, const ContainerTable::Row& row)
{
    if (!format) {
        qCWarning(lcStrevo, "FFMPEG: no container called '%s'",
                  qPrintable(m_preset.container().format));
        return false;
    }
    m_format = format;
    m_row = row;
    m_fragmented = row.crashSafeMovflags && m_preset.container().crashSafe;

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
    return takesCodecs();
}

bool StreamSetup::describeVideo(AVCodecParameters* par) const
{
    const CodecModel::VideoCodec& video = m_preset.videoCodec();
    bool failed = false;
    if (m_headers.copyVideoParameters(par, &failed)) {
        // An encoder's tag is a QuickTime one; other containers pick their own.
        if (!m_row.quickTimeTags)
            par->codec_tag = 0;
        return !failed;
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
        if (m_row.quickTimeTags)
            par->codec_tag = proresTag(video.codecProfile);
    }
    if (m_videoId == AV_CODEC_ID_QTRLE)
        par->bits_per_coded_sample =
            av_get_bits_per_pixel(av_pix_fmt_desc_get(static_cast<AVPixelFormat>(par->format)));
    return true;
}

bool StreamSetup::describeAudio(AVCodecParameters* par) const
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
    return m_headers.fillAudioExtradata(par);
}

bool StreamSetup::addStreams(AVFormatContext* format, AVStream** video, AVStream** audio) const
{
    *video = avformat_new_stream(format, nullptr);
    if (!*video || !describeVideo((*video)->codecpar))
        return false;
    (*video)->id = 0;
    (*video)->avg_frame_rate = m_frameRate;
    (*video)->r_frame_rate = m_frameRate;
    (*video)->time_base = av_inv_q(m_frameRate);
    *audio = nullptr;
    if (!hasAudio())
        return true;
    *audio = avformat_new_stream(format, nullptr);
    if (!*audio || !describeAudio((*audio)->codecpar))
        return false;
    (*audio)->id = 1;
    (*audio)->time_base = AVRational{1, sampleRate()};
    return true;
}

AVDictionary* StreamSetup::headerOptions() const
{
    AVDictionary* options = nullptr;
    // The fragment being filled stays in memory and a key-frame interval can be far longer
    // than kCrashLossMs: a fragment also starts every kCrashLossMs. A fragment that starts on
    // a non-key frame decodes from the key frame before it.
    if (m_fragmented) {
        av_dict_set(&options, "movflags", m_row.crashSafeMovflags, 0);
        av_dict_set_int(&options, "frag_duration", ContainerTable::kCrashLossMs * 1000LL,
                        0); // microseconds
    }
    // The limit counts from the cluster's first block and a block more than the limit after
    // it starts the next cluster, hence one millisecond less.
    if (m_row.clusterLimit)
        av_dict_set_int(&options, "cluster_time_limit", ContainerTable::kCrashLossMs - 1, 0);
    if (m_row.m2tsFraming)
        av_dict_set(&options, "mpegts_m2ts_mode", "0", 0); // M2tsWriter frames the packets
    if (m_row.optionName)
        av_dict_set(&options, m_row.optionName, m_row.optionValue, 0);
    return options;
}

bool StreamSetup::refuse(int id, const char* why) const
{
    QString codecs =
        id == m_audioId && id != AV_CODEC_ID_NONE ? QString() : m_preset.videoCodec().codecName;
    if (hasAudio() && id != m_videoId)
        codecs += (codecs.isEmpty() ? QString() : QStringLiteral(" + ")) +
                  m_preset.audioCodec().codecName;
    qCWarning(lcStrevo, "FFMPEG: container '%s' does not take %s: %s",
              qPrintable(m_preset.container().format), qPrintable(codecs), why);
    return false;
}

bool StreamSetup::takesCodecs() const
{
    const CodecTable::Entry* entries[] = {
        CodecTable::find(m_preset.videoCodec().codecName),
        hasAudio() ? CodecTable::find(m_preset.audioCodec().codecName) : nullptr};
    const int ids[] = {m_videoId, m_audioId};
    const QString column = QLatin1String(m_row.codecColumn ? m_row.codecColumn : "");
    // The codecs the container's column of the codec table lists.
    const auto tableTakes = [&](ContainerTable::CodecCheck when) {
        if (m_row.codecCheck != when)
            return true;
        for (int i = 0; i < 2; ++i) {
            if (entries[i] && !CodecTable::fits(*entries[i], column))
                return refuse(ids[i], m_row.refusal);
        }
        return true;
    };
    const auto queryCodecs = [&] {
        for (int id : ids) {
            if (id != AV_CODEC_ID_NONE && avformat_query_codec(m_format, static_cast<AVCodecID>(id),
                                                               FF_COMPLIANCE_NORMAL) == 0)
                return refuse(id, "libavformat has no tag for it in this container");
        }
        return true;
    };
    if (!tableTakes(ContainerTable::CodecCheck::BeforeTrial))
        return false;
    // libavformat writes QuickTime RLE anywhere, but it decodes only from QuickTime files.
    if (m_videoId == AV_CODEC_ID_QTRLE && !m_row.quickTimeTags)
        return refuse(m_videoId, "only QuickTime files carry QuickTime RLE");
    // Without its parameter sets an H.264/HEVC header cannot be written (the encoder hands
    // them over with its first packet), and a container that opens its own connection (RTSP)
    // cannot be tried offline: the tag check has to do.
    const bool tryable = m_row.segmentMuxer || !(m_format->flags & AVFMT_NOFILE);
    if (tryable && !(videoNeedsHeaders() && !m_headers.hasVideo()) && !trialHeader())
        return false;
    return queryCodecs() && tableTakes(ContainerTable::CodecCheck::AfterTrial);
}

bool StreamSetup::trialHeader() const
{
    const AVOutputFormat* trial =
        m_row.segmentMuxer ? av_guess_format(m_row.segmentMuxer, nullptr, nullptr) : m_format;
    AVFormatContext* raw = nullptr;
    if (avformat_alloc_output_context2(&raw, trial, nullptr, nullptr) < 0 || !raw)
        return false;
    AVOutputContextPtr ctx(raw);
    AVStream* video = nullptr;
    AVStream* audio = nullptr;
    if (!addStreams(ctx.get(), &video, &audio) || !m_headers.fillVideoExtradata(video->codecpar))
        return false;
    NullOutput sink;
    AVCustomIoPtr pb = makeCustomIo(4096, &sink, &NullOutput::write, &NullOutput::seek);
    if (!pb)
        return false;
    ctx->pb = pb.get();
    ctx->flags |= AVFMT_FLAG_CUSTOM_IO;
    AVDictionary* rawOptions = headerOptions();
    int result = avformat_write_header(ctx.get(), &rawOptions);
    AVDictionaryPtr options(rawOptions);
    if (result >= 0)
        result = av_write_trailer(ctx.get());
    // libavformat has logged its reason; name the pair too.
    return result >= 0 || refuse(AV_CODEC_ID_NONE, avErrorText(result).constData());
}
