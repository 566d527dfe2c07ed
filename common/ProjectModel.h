#pragma once

#include <QString>

/// Project-wide records of a preset: the format in which the host delivers frames and audio.
/// Each record lists its fields once in visit(), which the JSON reader and writer walk.
namespace ProjectModel {

/// The video the host delivers.
struct VideoOutput
{
    int width = 1280;        ///< project video width in pixels
    int height = 720;        ///< project video height in pixels
    double frameRate = 30.0; ///< frames per second at which the host delivers input frames
    /// The facade names a master preset: the output preset of the largest picture
    /// (Strevo::masterCodecPreset()).
    bool useMasterPreset = false;

    /// Calls v(key, field) for every field, in declaration order.
    template <class V> void visit(V& v)
    {
        v("width", width);
        v("height", height);
        v("frameRate", frameRate);
        v("useMasterPreset", useMasterPreset);
    }
};

/// The audio the host delivers: signed 16-bit interleaved samples.
struct AudioOutput
{
    int channels = 2;       ///< 1 to 8 (resampled to the output's channels)
    int sampleRate = 48000; ///< Hz
    int bitsPerSample = 16; ///< 16 is the only size a pipeline takes
    /// Bytes; the size of a pipeline's encoded-audio buffer (at least the codec's largest
    /// packet).
    int bufferSize = 16384;

    /// Calls v(key, field) for every field, in declaration order.
    template <class V> void visit(V& v)
    {
        v("channels", channels);
        v("sampleRate", sampleRate);
        v("bitsPerSample", bitsPerSample);
        v("bufferSize", bufferSize);
    }
};

/// How frames reach the encoders, and how much a live output may fall behind.
struct Processing
{
    int textureApi = 0;   ///< the texture type with textureInput: 2 Direct3D 9, 3 Direct3D 11
    int textureInput = 0; ///< 1 when input frames arrive as GPU textures
    /// Seconds of video a live output may queue for a slow server before it reconnects and
    /// starts again from a key frame; 0: 5 seconds.
    int liveBacklogSeconds = 0;

    /// Calls v(key, field) for every field, in declaration order.
    template <class V> void visit(V& v)
    {
        v("textureApi", textureApi);
        v("textureInput", textureInput);
        v("liveBacklogSeconds", liveBacklogSeconds);
    }
};

/// The device that renders the host's textures.
struct DeviceInfo
{
    /// The host's GPU device index; NVENC takes texture input in place only from device 0.
    int deviceIndex = 0;

    /// Calls v(key, field) for every field, in declaration order.
    template <class V> void visit(V& v) { v("deviceIndex", deviceIndex); }
};

} // namespace ProjectModel
