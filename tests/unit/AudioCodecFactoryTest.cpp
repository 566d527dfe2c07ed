#include "codec/audio/AudioCodecFactory.h"

#include "codec/audio/FFmpegAudio.h"
#include "codec/audio/PCMEnc.h"
#include "codec/audio/ShineMP3.h"
#include "encoder/IEncoder.h"

#include <gtest/gtest.h>

#include <memory>

TEST(AudioCodecFactory, MapsExactNamesToEncoders)
{
    using Create = IAudioCodec* (*)(const QString&);
    for (Create create : {&AudioCodecFactory::create, &IEncoder::createAudioEncoder}) {
        std::unique_ptr<IAudioCodec> aac(create(QStringLiteral("AAC")));
        std::unique_ptr<IAudioCodec> pcm(create(QStringLiteral("PCM")));
        std::unique_ptr<IAudioCodec> mp3(create(QStringLiteral("MP3")));
        EXPECT_NE(dynamic_cast<FFmpegAudio*>(aac.get()), nullptr);
        EXPECT_NE(dynamic_cast<PCMEnc*>(pcm.get()), nullptr);
        EXPECT_NE(dynamic_cast<ShineMP3*>(mp3.get()), nullptr);

        for (const char* name : {"", "aac", "Mp3", "pcm", "AAC ", "AC3", "VORBIS", "X264"}) {
            std::unique_ptr<IAudioCodec> none(create(QString::fromLatin1(name)));
            EXPECT_EQ(none, nullptr) << "'" << name << "'";
        }
    }
}
