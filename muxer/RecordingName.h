#pragma once

#include <QDateTime>
#include <QString>

class CodecPreset;

// File names of local recordings, built from the local record's template when a recording
// opens without a path. Stateless; safe from any thread.
//
// Template tokens (case-sensitive): %Y year, %M month, %D day, %h hour, %m minute, %s second,
// %C video codec name, %B bit-rate word ("4000Kbps", "25Mbps" for MJPEG, the profile name for
// ProRes), %R resolution ("1920x1080"), %P project name, %S source ("PGM", "PGM CLEAN", "PVW"
// or the preset's source name). Other text, unknown tokens included, is kept as written.
class RecordingName
{
public:
    // The template expanded at `now`; "Untitled" (translatable) for an empty template. No
    // extension. Always one file name: '/' and NUL characters become '_'.
    static QString expandTemplate(const CodecPreset& preset, const QDateTime& now);
    static QString expandTemplate(const CodecPreset& preset);

    // The absolute path of a new recording: <folder>/<name>.<format>, or "<name> 2.<format>" up
    // to "<name> 999.<format>" when taken; the first name that does not exist wins. An empty
    // folder means the current directory. The chosen path's folder is created (one level) when
    // missing. Never returns an existing file: when all names are taken or the folder cannot
    // be created the result is empty and `error` (when given) says why.
    static QString choosePath(const CodecPreset& preset, const QDateTime& now, QString* error);
    static QString choosePath(const CodecPreset& preset, QString* error);

    // The next file of a recording that was given a fixed path ("/a/clip.mp4"): the first of
    // "/a/clip 2.mp4" ... "/a/clip 999.mp4" that does not exist; empty when all are taken.
    static QString nextFreePath(const QString& path);
};
