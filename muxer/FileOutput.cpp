#include "muxer/FileOutput.h"

#include "common/CodecPreset.h"
#include "common/Redact.h"
#include "common/StrevoLog.h"
#include "muxer/AvioWriter.h"
#include "muxer/ContainerTable.h"
#include "muxer/ContainerWriter.h"
#include "muxer/FileWriter.h"
#include "muxer/IMuxerCallback.h"
#include "muxer/M2tsWriter.h"
#include "muxer/MovieDurations.h"
#include "muxer/MuxerReports.h"
#include "muxer/RecordingName.h"
#include "muxer/StreamHeaders.h"

#include <QDateTime>
#include <QDebug>
#include <QFile>
#include <QFileInfo>

extern "C" {
#include <libavformat/avformat.h>
}

FileOutput::FileOutput(ContainerWriter& writer, const StreamHeaders& headers, CodecPreset& preset,
                       int part, QString firstPart)
    : m_writer(writer), m_headers(headers), m_preset(preset), m_part(part),
      m_firstPart(std::move(firstPart))
{
}

FileOutput::~FileOutput() = default;

bool FileOutput::open()
{
    ContainerTable::Row row{};
    const AVOutputFormat* format = ContainerTable::forFile(m_preset.container().format, &row);
    if (!m_writer.setup().prepare(format, row)) {
        m_failure = QStringLiteral("the container '%1' cannot hold these streams")
                        .arg(m_preset.container().format);
        return false;
    }
    CodecModel::Local& local = m_preset.local();
    if (local.enabled) {
        QString why;
        const QString path = RecordingName::partPath(m_preset, m_part, m_firstPart,
                                                     QDateTime::currentDateTime(), &why);
        if (path.isEmpty()) {
            fail(why);
            return false;
        }
        local.recordingPath = path;
    }
    {
        std::lock_guard<std::mutex> lock(m_writer.muxMutex());
        // Muxers that name their own files (m3u8 segments) or look at the extension (.m2ts
        // packets of 192 bytes) read the url.
        if (!m_writer.createContextLocked(QFile::encodeName(local.recordingPath), nullptr)) {
            fail(QStringLiteral("cannot allocate the output context"));
            return false;
        }
        if (!(format->flags & AVFMT_NOFILE) && !openFile())
            return false;
        if (m_headers.hasVideo() && !writeHeaderLocked())
            return false;
    }
    m_writer.start();
    return true;
}

bool FileOutput::openFile()
{
    const QString& path = m_preset.local().recordingPath;
    auto writer = std::make_unique<FileWriter>();
    m_createdFile = !QFileInfo::exists(path);
    if (!writer->open(path)) {
        m_createdFile = false;
        fail(QStringLiteral("cannot open '%1' for writing: %2").arg(target(), writer->errorText()));
        return false;
    }
    if (m_writer.setup().row().m2tsFraming)
        m_file = std::make_unique<M2tsWriter>(std::move(writer));
    else
        m_file = std::move(writer);
    m_avio = std::make_unique<AvioWriter>(m_file.get());
    if (!m_avio->context()) {
        fail(QStringLiteral("cannot allocate the I/O context of '%1'").arg(target()));
        return false;
    }
    // Each packet goes to the file once libavformat has written it, not when the I/O buffer
    // is full: what the container has finished (every MPEG-TS packet, a closed mp4 fragment or
    // mkv cluster) survives a kill of the process, and a low bit rate would otherwise keep
    // seconds in the buffer. No fsync: the kernel has the bytes.
    m_writer.attachIoLocked(m_avio->context(), true);
    return true;
}

bool FileOutput::writeHeader()
{
    std::lock_guard<std::mutex> lock(m_writer.muxMutex());
    return m_writer.hasContext() && writeHeaderLocked();
}

bool FileOutput::writeHeaderLocked()
{
    QString why;
    if (m_writer.writeHeaderLocked(&why))
        return true;
    fail(QStringLiteral("cannot write the header of '%1': %2").arg(target(), why));
    return false;
}

void FileOutput::stop()
{
    // A local recording keeps every queued packet: the loop drains the queues first.
    m_writer.beginStop();
    m_writer.joinThread();
    {
        std::lock_guard<std::mutex> lock(m_writer.muxMutex());
        m_writer.closeLocked(true);
    }
    m_durations.reset();
    m_avio.reset();
    m_file.reset();
    // A file that got no packet (a failed start, or a pipeline stopped before any frame) holds
    // nothing a player can use: do not leave it behind.
    if (m_createdFile && !m_writer.wroteStreamData()) {
        qCDebug(lcStrevo, "FFMPEG: '%s' got no packet; removed", qPrintable(target()));
        QFile::remove(m_preset.local().recordingPath);
    }
}

void FileOutput::headerWritten()
{
    m_writer.reports().send(
        [](IMuxerCallback& pipeline) { pipeline.count(&strevo::OutputStats::files, 1); });
    if (!m_writer.setup().fragmented() || !m_file)
        return;
    avio_flush(m_avio->context()); // the movie header goes to the file now
    auto durations = std::make_unique<MovieDurations>();
    if (durations->locate(m_preset.local().recordingPath)) {
        m_durations = std::move(durations);
        m_lastSize = m_file->size();
    } else {
        qCDebug(lcStrevo, "FFMPEG: no movie header found in '%s'; its lengths stay as written",
                qPrintable(target()));
    }
}

void FileOutput::countBytes()
{
    const long long size = m_file ? m_file->size() : -1;
    if (size <= m_countedSize)
        return;
    const long long grown = size - m_countedSize;
    m_countedSize = size;
    m_writer.reports().send([grown](IMuxerCallback& pipeline) {
        pipeline.count(&strevo::OutputStats::bytesDelivered, grown);
    });
}

void FileOutput::packetWritten(const std::vector<int64_t>& streamEnds)
{
    countBytes();
    // A fragmented file gets bytes only when a fragment is complete, and such a fragment holds
    // what was written before this packet: the header then says as much.
    if (!m_durations)
        return;
    const long long size = m_file->size();
    if (size != m_lastSize) {
        m_lastSize = size;
        m_durations->write(streamEnds);
    }
}

void FileOutput::trailerWritten(int result, const std::vector<int64_t>& streamEnds)
{
    countBytes();
    if (result < 0)
        m_writer.fail("the end", result);
    else if (m_durations)
        m_durations->write(streamEnds);
}

bool FileOutput::writeFailed(const char* what, int result)
{
    fail(QStringLiteral("writing %1 to '%2' failed: %3; the recording ends here")
             .arg(QLatin1String(what), target(), errorText(result)));
    return true;
}

QString FileOutput::errorText(int result) const
{
    return m_file && !m_file->errorText().isEmpty() ? m_file->errorText()
                                                    : QString::fromUtf8(avErrorText(result));
}

QString FileOutput::target() const
{
    return redactSecrets(m_preset.local().recordingPath);
}

void FileOutput::fail(const QString& text)
{
    qCWarning(lcStrevo, "FFMPEG: %s", qPrintable(text));
    if (m_failure.isEmpty())
        m_failure = text;
}
