#pragma once

/// @file
/// A video frame as the host pushes it (Strevo::pushVideo).

namespace strevo {

/// One frame of one source, described where it lies in the host's memory. The job copies it
/// once into a buffer of its own, which every output of the source shares, so the host's
/// memory is free again when Strevo::pushVideo returns.
struct VideoFrame
{
    int source = 0;      ///< Input source, 0 to 2.
    int pixelFormat = 0; ///< A PixelFormat code (common/PixelFormat.h), such as PIX_NV12.
    int width = 0;       ///< Pixels.
    int height = 0;      ///< Pixels.
    /// The planes in the pixel format's order (Y, U, V; Y, UV; one for packed formats); unused
    /// entries null.
    const unsigned char* planes[4] = {nullptr, nullptr, nullptr, nullptr};
    /// Bytes from the start of one row of each plane to the next; 0 for rows without padding.
    /// A stride shorter than the plane's row refuses the frame.
    int strides[4] = {0, 0, 0, 0};
    /// The host's presentation time in microseconds, or -1 for none. A frame with a time is paced
    /// to the project's frame rate as live input (any such frame may start a recording); frames
    /// without one are each one output frame, as for a transcoding.
    long long timestampUs = -1;
    bool interlaced = false; ///< The frame holds two fields.
};

} // namespace strevo
