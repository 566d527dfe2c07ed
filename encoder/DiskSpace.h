#pragma once

#include <QString>

// Free space on the volume of a recording folder.
class DiskSpace
{
public:
    // Megabytes (10^6 bytes, truncated) available to this process on the volume that holds
    // `folder`, or -1 when no volume can be found. A folder that does not exist yet is looked up
    // through its nearest existing parent, since the muxer creates it. One statvfs call; the video
    // thread asks about once a second while it encodes.
    static long long megabytesAvailable(const QString& folder);

    // Recording needs at least this many megabytes free.
    static constexpr long long kMinimumMegabytes = 201;
};
