#pragma once

#include "common/ProjectModel.h"

#include <QJsonObject>
#include <QString>

/// The project-wide preset: how the host delivers video and audio. Plain value type: copying
/// and assignment copy every record.
///
/// JSON form: {"videoOutput": {...}, "audioOutput": {...}, "processing": {...},
/// "deviceInfo": {...}} with the field names of the records; absent records and fields keep
/// their defaults.
class ProjectPreset
{
public:
    ProjectPreset() = default;
    ///@{
    /// Copies every record.
    ProjectPreset(const ProjectPreset&) = default;
    ProjectPreset& operator=(const ProjectPreset&) = default;
    ///@}
    virtual ~ProjectPreset() = default;

    ///@{
    /// The video the host delivers.
    ProjectModel::VideoOutput& videoOutput() { return m_videoOutput; }
    const ProjectModel::VideoOutput& videoOutput() const { return m_videoOutput; }
    ///@}
    ///@{
    /// The audio the host delivers.
    ProjectModel::AudioOutput& audioOutput() { return m_audioOutput; }
    const ProjectModel::AudioOutput& audioOutput() const { return m_audioOutput; }
    ///@}
    ///@{
    /// The processing record (texture input, live backlog).
    ProjectModel::Processing& processing() { return m_processing; }
    const ProjectModel::Processing& processing() const { return m_processing; }
    ///@}
    ///@{
    /// The device record.
    ProjectModel::DeviceInfo& deviceInfo() { return m_deviceInfo; }
    const ProjectModel::DeviceInfo& deviceInfo() const { return m_deviceInfo; }
    ///@}

    /// The JSON form (see the class), every field written.
    virtual QJsonObject toJson() const;
    /// Reads the object over the current values. On error returns false, sets *error to a
    /// one-line reason and leaves the preset unchanged.
    bool fromJson(const QJsonObject& json, QString* error = nullptr);

    /// fromJson() of a file. Errors name the file ("cannot open 'x.json'", "x.json: line 3:
    /// missing value separator" ...).
    bool load(const QString& path, QString* error = nullptr);
    /// toJson() into a file, with errors as load() words them. Writes a temporary file next
    /// to the target and renames it over the target only when everything was written, so a
    /// full volume or a crash leaves the previous file intact; a preset that holds secrets is
    /// written readable by its owner only (0600).
    bool save(const QString& path, QString* error = nullptr) const;

protected:
    /// Reads into *this without the all-or-nothing guarantee; fromJson() provides it.
    virtual bool readJson(const QJsonObject& json, QString* error);
    /// Keys that readJson() of this class understands at the top level.
    virtual bool knownTopLevelKey(const QString& key) const;
    /// A copy of the whole object (of the most derived class), owned by the caller: fromJson()
    /// reads into it and assigns it back only when everything was read.
    virtual ProjectPreset* cloneForRead() const { return new ProjectPreset(*this); }
    /// True when the file form carries passwords or keys.
    virtual bool holdsSecrets() const { return false; }
    /// Assigns a copy made by cloneForRead() back to *this, as the most derived class.
    virtual void assignFrom(const ProjectPreset& other) { *this = other; }

private:
    ProjectModel::VideoOutput m_videoOutput;
    ProjectModel::AudioOutput m_audioOutput;
    ProjectModel::Processing m_processing;
    ProjectModel::DeviceInfo m_deviceInfo;
};
