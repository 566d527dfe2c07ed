#include "EncodedPacket.h"
#include "MessageCapture.h"
#include "codec/video/VideoCodecFactory.h"
#include "codec/video/amf/AmfEncoder.h"
#include "codec/video/amf/DownloadAmf.h"

#include <gtest/gtest.h>

// On a machine without an AMF runtime: the probe says so, the encoder fails initialize() with
// a message naming the missing runtime, and a frame download neither opens nor hands out frames.
TEST(AmfWithoutRuntime, FailsWithAClearMessage)
{
    EXPECT_FALSE(AmfEncoder::amfAvailable());
    EXPECT_NE(initialized(VideoCodecFactory::create(QStringLiteral("H264(AMF)")),
                          videoPreset("H264(AMF)"), "the AMF runtime (libamfrt64.so.1) is missing"),
              nullptr);
    DownloadAmf download;
    EXPECT_EQ(download.data(), nullptr);
    MessageCapture log;
    EXPECT_FALSE(download.initialize(64, 48));
    EXPECT_EQ(log.count(QStringLiteral("AMF Failed to initialize")), 1);
    EXPECT_EQ(download.data(), nullptr);
}
