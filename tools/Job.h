#pragma once

#include "common/CodecPreset.h"
#include "common/ProjectPreset.h"

#include <QJsonObject>
#include <QString>
#include <QVector>

// A job file: the project preset (how the source delivers pictures and sound), the source, an
// optional duration and one or more outputs.
//
// {
//   "project":  { ProjectPreset JSON: "videoOutput", "audioOutput", "processing", "deviceInfo" },
//   "source":   { "type": "generated" | "file" | "stdin", "path": "in.mp4", "pixelFormat": "NV12"
//   }, "duration": 10, "outputs":  [ { CodecPreset JSON: "videoCodec", "audioCodec", "container",
//   "local", ... } ]
// }
//
// Every output starts from the project's records and from these defaults, then reads its own
// object over them: videoCodec width, height and frameRate from project.videoOutput,
// audioCodec sampleRate and channels from project.audioOutput, local.folder "out",
// local.fileNameTemplate and projectName the job file's base name. An output may override
// "processing" and "deviceInfo" but not the input format ("videoOutput", "audioOutput"), which
// belongs to the whole job. Relative paths are taken from the current directory.
//
// An output with streaming.enabled is live: it records nothing (local.enabled defaults to
// false for it, and an output that sets both is refused), its URL is checked before anything
// starts, and its container follows from the URL's scheme. A media file cannot go live.
class Job
{
public:
    enum class SourceType
    {
        Generated,
        File,
        Stdin
    };

    // Reads and checks a job file. On failure returns false with a one-line reason that names
    // the file and the field ("job.json: outputs[0].videoCodec.width: expected a whole number").
    bool load(const QString& path, QString* error);
    // The same for JSON text; `name` becomes the default file name and project name.
    bool parse(const QByteArray& text, const QString& name, QString* error);

    // The preset of output `index` for the current project and source. Fails (with the field
    // named) only on combinations that depend on the source, such as splitting a transcoding.
    bool outputPreset(int index, CodecPreset* preset, QString* error) const;
    int outputCount() const { return m_outputs.size(); }

    QString name; // the job file's base name
    ProjectPreset project;
    SourceType sourceType = SourceType::Generated;
    QString sourcePath;         // for File
    int sourcePixelFormat = 10; // PixelFormat code for Stdin (NV12)
    double duration = 0.0;      // seconds; 0 runs until the source ends (or Ctrl-C)
    // The outputs' stream keys, passwords and passphrases, as read (even from an output that
    // was refused): masked in every message.
    QStringList secrets;
    // Things in the outputs that work but are likely mistakes (a '%' that starts no recording
    // name token), each naming its field; strevo-cli prints them before it starts.
    QStringList warnings;

    // Known codec names, exact case, as the pipelines accept them (a job may write them in any
    // case).
    static const QStringList& videoCodecNames();
    static const QStringList& audioCodecNames();

private:
    bool readSource(const QJsonValue& value, QString* error);
    bool readOutput(const QJsonValue& value, int index, QString* error);
    // A live output: one that does not also record, whose URL can be opened, and whose
    // container is the one its scheme carries (set when the job does not name it).
    bool checkLive(const QString& where, bool containerGiven, CodecPreset* preset,
                   QString* error) const;

    QVector<QJsonObject> m_outputs;
};
