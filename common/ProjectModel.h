#pragma once

#include <QString>

// Project-wide records of a preset: the format in which the host delivers frames and audio.
// Each record lists its fields once in visit(), which the JSON reader and writer walk.
namespace ProjectModel {

struct VideoOutput
{
    int width = 1280;        // project video width in pixels
    int height = 720;        // project video height in pixels
    double frameRate = 30.0; // frames per second at which the host delivers input frames
    bool useMasterPreset = false;

    template <class V> void visit(V& v)
    {
        v("width", width);
        v("height", height);
        v("frameRate", frameRate);
        v("useMasterPreset", useMasterPreset);
    }
};

// The audio the host delivers: signed 16-bit interleaved samples.
struct AudioOutput
{
    int channels = 2;
    int sampleRate = 48000; // Hz
    int bitsPerSample = 16;
    int bufferSize = 16384; // bytes; also the size of a pipeline's encoded-audio buffer

    template <class V> void visit(V& v)
    {
        v("channels", channels);
        v("sampleRate", sampleRate);
        v("bitsPerSample", bitsPerSample);
        v("bufferSize", bufferSize);
    }
};

struct Processing
{
    int textureApi = 0;         // 2 Direct3D 9, 3 Direct3D 11
    int textureInput = 0;       // 1 when input frames arrive as GPU textures
    int liveBacklogSeconds = 0; // live backlog limit in seconds

    template <class V> void visit(V& v)
    {
        v("textureApi", textureApi);
        v("textureInput", textureInput);
        v("liveBacklogSeconds", liveBacklogSeconds);
    }
};

struct DeviceInfo
{
    int deviceIndex = 0;

    template <class V> void visit(V& v) { v("deviceIndex", deviceIndex); }
};

} // namespace ProjectModel
