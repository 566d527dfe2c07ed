// A host that uses soundtouch::SoundTouch through libstrevo alone: 4 s of a 1 kHz tone played
// 1.5 times as fast must come out 1.5 times shorter and still at 1 kHz (within 1% each).
#include <soundtouch/SoundTouch.h>

#include <cmath>
#include <cstdio>
#include <vector>

int main()
{
    const int rate = 48000;
    const int inputFrames = rate * 4;
    std::vector<float> input(inputFrames);
    for (int i = 0; i < inputFrames; ++i)
        input[i] = 0.5f * static_cast<float>(std::sin(2.0 * M_PI * 1000.0 * i / rate));

    soundtouch::SoundTouch stretch;
    stretch.setSampleRate(rate);
    stretch.setChannels(1);
    stretch.setTempo(1.5);
    stretch.putSamples(input.data(), inputFrames);
    stretch.flush();
    std::vector<float> output;
    float block[4096];
    for (unsigned got; (got = stretch.receiveSamples(block, 4096)) > 0;)
        output.insert(output.end(), block, block + got);

    // Upward zero crossings over the middle of the output, away from the ramps at both ends.
    int crossings = 0;
    const size_t from = output.size() / 4;
    const size_t to = output.size() * 3 / 4;
    for (size_t i = from + 1; i < to; ++i)
        crossings += output[i - 1] < 0.0f && output[i] >= 0.0f;
    const double pitch = crossings * static_cast<double>(rate) / static_cast<double>(to - from);
    const double expected = inputFrames / 1.5;
    const double lengthError = std::fabs(output.size() - expected) / expected;
    std::printf("tempo 1.5: %zu samples (expected %.0f), pitch %.1f Hz\n", output.size(), expected,
                pitch);
    return lengthError <= 0.01 && std::fabs(pitch - 1000.0) <= 10.0 ? 0 : 1;
}
