#include "muxer/FFMpegMuxer.h"

#include "muxer/FileOutput.h"
#include "muxer/IMuxerOutput.h"
#include "muxer/LiveOutput.h"

FFMpegMuxer::FFMpegMuxer(IMuxerCallback* callback)
    : m_reports(callback), m_writer(m_preset, m_headers, m_reports)
{
}

FFMpegMuxer::~FFMpegMuxer()
{
    if (m_output)
        m_output->stop();
}

bool FFMpegMuxer::initialize(const CodecPreset& preset)
{
    m_preset = preset;
    if (m_preset.streaming().enabled)
        m_output = std::make_unique<LiveOutput>(m_writer, m_headers, m_reports, m_preset);
    else
        m_output = std::make_unique<FileOutput>(m_writer, m_headers, m_preset, m_part, m_firstPart);
    m_writer.setOutput(m_output.get());
    return m_output->open();
}

bool FFMpegMuxer::isHeaderWritten()
{
    return m_writer.isHeaderWritten();
}

bool FFMpegMuxer::writeHeader()
{
    return m_writer.isHeaderWritten() || (m_output && m_output->writeHeader());
}

bool FFMpegMuxer::writeVideo(AVPacketPtr packet, bool keyFrame)
{
    return m_writer.writeVideo(std::move(packet), keyFrame);
}

bool FFMpegMuxer::writeAudio(AVPacketPtr packet)
{
    return m_writer.writeAudio(std::move(packet));
}

void FFMpegMuxer::skipVideoFrame()
{
    m_writer.skipVideoFrame();
}

int FFMpegMuxer::skipAudioFrame()
{
    return m_writer.skipAudioFrame();
}

void FFMpegMuxer::setVideoParameters(const AVCodecParameters* par)
{
    m_headers.setVideoParameters(par);
}

void FFMpegMuxer::setVideoExtradata(unsigned char* data, unsigned int size)
{
    m_headers.setVideoExtradata(data, size);
}

void FFMpegMuxer::setAudioExtradata(unsigned char* data, unsigned int size)
{
    m_headers.setAudioExtradata(data, size);
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
    return m_writer.videoFrameCount();
}

void FFMpegMuxer::detachCallback()
{
    m_reports.detach();
}

void FFMpegMuxer::abort()
{
    m_writer.abort();
    if (m_output)
        m_output->abort();
}

const QString& FFMpegMuxer::recordingPath()
{
    return m_preset.local().recordingPath;
}
