#pragma once

#include <QString>
#include <cstdint>
#include <vector>

// The length fields of a fragmented mp4/mov file's movie header, kept up to date in place.
//
// A crash-safe mp4/mov recording starts with a movie header that describes no samples (every
// sample is in the fragments that follow), so its durations say 0 and players that show a
// length or seek by it read the file as empty or as long as its first fragment. This object
// finds those fields once the header is in the file and rewrites them, at their place and
// width, with the length written so far: the movie's (mvhd) and each track's (tkhd, mdhd), the
// fragment duration (mehd) and an edit list's segment, where the header has them. No byte
// moves, so the file stays valid at every moment, a killed recording included.
//
// The file is written through a descriptor of its own (positioned writes), which leaves the
// recording's writer and its position alone. One thread at a time.
class MovieDurations
{
public:
    MovieDurations() = default;
    ~MovieDurations();
    MovieDurations(const MovieDurations&) = delete;
    MovieDurations& operator=(const MovieDurations&) = delete;

    // Reads the start of `path` (which must hold the file type and movie boxes) and finds the
    // fields. False, and write() does nothing, when the file has no movie header of this shape.
    bool locate(const QString& path);
    // Writes the lengths: `trackEnds[i]` is the end of track i (the i-th track box, in stream
    // order) in that track's own time scale. A length too large for its field stays as it is.
    // False when a write failed.
    bool write(const std::vector<int64_t>& trackEnds);
    // Closes the file; write() then does nothing.
    void close();

    // The time scales found, for the tests: the movie's and each track's.
    uint32_t movieTimescale() const { return m_movieTimescale; }
    const std::vector<uint32_t>& trackTimescales() const { return m_trackTimescales; }

private:
    struct Field
    {
        int64_t offset = 0;
        int bytes = 4;         // 4 or 8
        int track = -1;        // -1: the movie's length (the longest track)
        bool movieScale;       // counted in the movie's time scale, else in the track's
        int64_t mediaTime = 0; // an edit's start in the track: its segment lasts from there
    };

    void parse(const std::vector<unsigned char>& data, int64_t begin, int64_t end, int track);

    int m_fd = -1;
    uint32_t m_movieTimescale = 0;
    std::vector<uint32_t> m_trackTimescales;
    std::vector<Field> m_fields;
};
