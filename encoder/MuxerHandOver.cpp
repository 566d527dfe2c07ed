#include "encoder/MuxerHandOver.h"

#include "codec/audio/IAudioCodec.h"
#include "codec/video/IVideoCodec.h"
#include "common/CodecPreset.h"
#include "common/StrevoLog.h"
#include "encoder/AVSync.h"
#include "encoder/AudioEncoding.h"
#include "muxer/IMuxer.h"
#include "muxer/MuxerFactory.h"

#include <QDebug>
#include <algorithm>

MuxerHandOver::MuxerHandOver(const CodecPreset& preset, AVSync& sync, AudioEncoding& audio,
                             IMuxerCallback* reports)
    : m_preset(preset), m_sync(sync), m_audio(audio), m_reports(reports)
{
}

MuxerHandOver::~MuxerHandOver() = default;

AVPacketPtr MuxerHandOver::copyPacket(const unsigned char* data, unsigned int size)
{
    AVPacketPtr packet(av_packet_alloc());
    if (!packet || av_new_packet(packet.get(), static_cast<int>(size)) < 0)
        return nullptr;
    std::copy(data, data + size, packet->data);
    return packet;
}

bool MuxerHandOver::splitDue() const
{
    const int seconds = m_preset.local().splitSeconds;
    const double rate = m_preset.videoCodec().frameRate;
    // A replay buffer keeps one timeline; each of its saves is a file of its own.
    return m_muxer && m_preset.local().enabled && !MuxerFactory::isReplay(m_preset) &&
           seconds != 0 && rate > 0.0 && qRound(m_muxer->videoFrameCount() / rate) >= seconds;
}

bool MuxerHandOver::openNext(IVideoCodec* video, long long encodedFrames,
                             std::unique_ptr<IMuxer>& replaced)
{
    m_sync.videoWritten.store(0);
    m_sync.frameRate.store(m_preset.videoCodec().frameRate);
    if (m_muxer && video) // a split: the old file gets the audio of its video
        m_audio.finish(m_muxer.get(), encodedFrames, false);
    m_audio.startFile();
    if (m_muxer)
        m_muxer->detachCallback();
    // The audio gate compares the new file's written video with the audio handed to it.
    m_sync.videoWriteTs.store(0.0);
    m_sync.audioWriteTs.store(0.0);

    replaced = std::move(m_muxer);
    m_muxer.reset(MuxerFactory::create(m_reports, m_preset));
    if (!m_muxer) {
        qCWarning(lcStrevo, "Encoder: no muxer for '%s'", qPrintable(m_preset.container().format));
        return false;
    }
    m_muxer->setReserved(static_cast<unsigned int>(encodedFrames));
    m_muxer->setPart(static_cast<int>(m_paths.size()) + 1,
                     m_paths.empty() ? QString() : m_paths.front());
    if (m_preset.videoCodec().enabled && video) {
        AVCodecParametersPtr par(avcodec_parameters_alloc());
        if (par && video->streamParameters(par.get()))
            m_muxer->setVideoParameters(par.get());
        m_muxer->setVideoExtradata(video->extraData(), video->extraDataSize());
    }
    IAudioCodec* audio = m_audio.codec();
    if (m_preset.audioCodec().enabled && audio)
        m_muxer->setAudioExtradata(audio->extraData(), audio->extraDataSize());
    if (video && !m_muxer->initialize(m_preset)) {
        m_muxer.reset();
        return false;
    }
    m_paths.push_back(m_muxer->recordingPath());
    return true;
}

bool MuxerHandOver::writeVideo(AVPacketPtr packet, bool keyFrame, IVideoCodec* video)
{
    if (!m_muxer)
        return false;
    if (!m_muxer->isHeaderWritten()) {
        m_muxer->setVideoExtradata(video->extraData(), video->extraDataSize());
        if (!m_muxer->writeHeader())
            return false;
    }
    if (!m_muxer->writeVideo(std::move(packet), keyFrame))
        return false;
    m_sync.videoWritten.fetch_add(1);
    return true;
}

void MuxerHandOver::skipVideoFrames(int count)
{
    m_sync.videoWritten.fetch_add(count);
    if (m_muxer)
        for (int i = 0; i < count; ++i)
            m_muxer->skipVideoFrame();
}

std::unique_ptr<IMuxer> MuxerHandOver::take()
{
    return std::move(m_muxer);
}

const QString* MuxerHandOver::currentPath() const
{
    return m_muxer && !m_paths.empty() ? &m_paths.back() : nullptr;
}
