#pragma once

// common/ (libstrevo-common.so, the bottom layer): presets and their JSON, the codec table, pixel
// formats, queues, threads and converters that every layer shares. Includes only Qt, FFmpeg and
// itself.

#include "common/CodecModel.h"
#include "common/ProjectPreset.h"

#include <QMap>

/// The preset of one output: a full set of project records plus the output's own records.
/// Plain value type; a pipeline keeps its own copy.
///
/// JSON form: the project keys plus "projectName", "sourceName", "encoderType", "videoCodec",
/// "audioCodec", "container", "local", "streaming", "transcoding" and "videoSource" (an object
/// mapping source index to value, {"0": 1}).
class CodecPreset : public ProjectPreset
{
public:
    CodecPreset() = default;
    ///@{
    /// Copies every record.
    CodecPreset(const CodecPreset&) = default;
    CodecPreset& operator=(const CodecPreset&) = default;
    ///@}
    ~CodecPreset() override = default;

    ///@{
    /// The video record.
    CodecModel::VideoCodec& videoCodec() { return m_videoCodec; }
    const CodecModel::VideoCodec& videoCodec() const { return m_videoCodec; }
    ///@}
    ///@{
    /// The audio record.
    CodecModel::AudioCodec& audioCodec() { return m_audioCodec; }
    const CodecModel::AudioCodec& audioCodec() const { return m_audioCodec; }
    ///@}
    ///@{
    /// The container record.
    CodecModel::Container& container() { return m_container; }
    const CodecModel::Container& container() const { return m_container; }
    ///@}
    ///@{
    /// The local recording record.
    CodecModel::Local& local() { return m_local; }
    const CodecModel::Local& local() const { return m_local; }
    ///@}
    ///@{
    /// The live output record.
    CodecModel::Streaming& streaming() { return m_streaming; }
    const CodecModel::Streaming& streaming() const { return m_streaming; }
    ///@}
    ///@{
    /// The transcoding record.
    CodecModel::Transcoding& transcoding() { return m_transcoding; }
    const CodecModel::Transcoding& transcoding() const { return m_transcoding; }
    ///@}

    /// The host's video sources of this output: source index (0, 1, 2) to a value of the
    /// host's. The first index names the recording's \%S ("PGM", "PGM CLEAN", "PVW") when
    /// sourceName is empty; outputs with other maps share no video encoder. Returned by value.
    QMap<int, int> videoSource() const { return m_videoSource; }
    /// Replaces the map that videoSource() returns.
    void setVideoSource(const QMap<int, int>& sources) { m_videoSource = sources; }

    QJsonObject toJson() const override;

    QString projectName; ///< the recording name's \%P
    QString sourceName;  ///< the recording name's \%S; empty: named from videoSource()
    int encoderType = 0; ///< the host's own value, returned unchanged by the pipeline

protected:
    bool readJson(const QJsonObject& json, QString* error) override;
    bool knownTopLevelKey(const QString& key) const override;
    /// The streaming record's password, stream key or SRT passphrase is set.
    bool holdsSecrets() const override;
    ProjectPreset* cloneForRead() const override { return new CodecPreset(*this); }
    void assignFrom(const ProjectPreset& other) override
    {
        *this = static_cast<const CodecPreset&>(other);
    }

private:
    CodecModel::VideoCodec m_videoCodec;
    CodecModel::AudioCodec m_audioCodec;
    CodecModel::Container m_container;
    CodecModel::Local m_local;
    CodecModel::Streaming m_streaming;
    CodecModel::Transcoding m_transcoding;
    QMap<int, int> m_videoSource;
};
