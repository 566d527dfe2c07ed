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
//
// Expansion is one pass over the template: a token's value goes into the name as it is and is
// never read for tokens again, so a project name "%P" or "%Y" stays literally "%P" / "%Y" and
// the work is linear in the template's length. A file name takes at most 255 bytes of UTF-8
// (NAME_MAX), extension and " 2" suffix included; a longer name is refused with an error, never
// cut, and is not even built in full: expansion stops building as soon as the name is past the
// limit and only counts the rest. A template that expands to nothing usable (empty, or only
// blanks and dots, e.g. "%P" with no project name) gives "Untitled" and a warning.
class RecordingName
{
public:
    // The template expanded at `now`; "Untitled" (translatable) for an empty template, and with
    // a warning for one that expands to nothing usable. No extension. Always one file name: '/'
    // and NUL characters become '_'. Empty when the name is longer than any file name can be
    // (more than 255 UTF-8 bytes); choosePath says how long.
    static QString expandTemplate(const CodecPreset& preset, const QDateTime& now);

    // The absolute path of a new recording: <folder>/<name>.<format>, or "<name> 2.<format>" up
    // to "<name> 999.<format>" when taken; the first name that does not exist wins. An empty
    // folder means the current directory. The chosen path's folder is created (one level) when
    // missing. Never returns an existing file: when all names are taken, the folder cannot be
    // created, or the file name (extension and suffix included) or a folder name is over 255
    // UTF-8 bytes, the result is empty and `error` (when given) says why, e.g. "recording name
    // 'Show….mp4' is 300 bytes; at most 255 fit in a file name".
    static QString choosePath(const CodecPreset& preset, const QDateTime& now, QString* error);

    // The path of part `part` of a recording: 1 for its first file, 2 and on for the files time
    // splits open; `firstPart` is the path part 1 got (not read for part 1). A transcoding
    // preset records to a fixed path: part 1 is local.recordingPath as given, each later part
    // the first free number after it ("/a/clip 2.mp4", "/a/clip 3.mp4": nextFreePath). Every
    // part of any other recording, and a fixed path that is not given or has no free number
    // left, gets a new name from the template at `now` (choosePath). Empty on failure, and
    // `error` (when given) says why.
    static QString partPath(const CodecPreset& preset, int part, const QString& firstPart,
                            const QDateTime& now, QString* error);

    // The next file of a recording that was given a fixed path ("/a/clip.mp4"): the first of
    // "/a/clip 2.mp4" ... "/a/clip 999.mp4" that does not exist; empty when all are taken or the
    // next name would be over 255 UTF-8 bytes.
    static QString nextFreePath(const QString& path);
};
