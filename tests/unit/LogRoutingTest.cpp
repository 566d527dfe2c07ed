#include "api/LogRouting.h"
#include "MessageCapture.h"

#include <gtest/gtest.h>

extern "C" {
#include <libavutil/log.h>
}
#include <wels/codec_app_def.h>

namespace {

void x264Log(int level, const char* format, ...)
{
    va_list args;
    va_start(args, format);
    LogRouting::x264Log(nullptr, level, format, args);
    va_end(args);
}

} // namespace

// The libraries' lines reach Qt in their own categories, at the matching severity, without the
// newline they end with; lines libav writes in pieces arrive whole.
TEST(LogRouting, LibraryLinesReachTheirCategories)
{
    LogRouting::install();
    MessageCapture log;
    av_log(nullptr, AV_LOG_WARNING, "queue %s\n", "full");
    av_log(nullptr, AV_LOG_ERROR, "first half, ");
    av_log(nullptr, AV_LOG_ERROR, "second half\n");
    av_log(nullptr, AV_LOG_INFO, "opened\n");
    av_log(nullptr, AV_LOG_TRACE, "not logged at libav's level\n");
    LogRouting::openH264Trace(nullptr, WELS_LOG_WARNING, "[OpenH264] fixed setting\n");
    LogRouting::openH264Trace(nullptr, WELS_LOG_ERROR, "[OpenH264] failed\n");
    x264Log(1, "frame %d late\n", 4);
    x264Log(1, "VBV underflow (frame %d, %.0f bits)\n", 4, 1234.0);
    x264Log(2, "frame I:%d\n", 1);

    EXPECT_EQ(
        log.messages(),
        (QStringList{"warning: queue full", "critical: first half, second half", "debug: opened",
                     "warning: [OpenH264] fixed setting", "critical: [OpenH264] failed",
                     "warning: frame 4 late", "debug: frame I:1"}));
    EXPECT_EQ(log.categories(),
              (QStringList{"strevo.libav", "strevo.libav", "strevo.libav", "strevo.openh264",
                           "strevo.openh264", "strevo.x264", "strevo.x264"}));
}
