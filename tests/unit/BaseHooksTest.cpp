#include "base/BaseHooks.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

using Records = std::vector<std::pair<int, std::string>>; // level, text

void recordingHandler(int level, const char* format, va_list args, void* param)
{
    char text[256];
    std::vsnprintf(text, sizeof(text), format, args);
    static_cast<Records*>(param)->emplace_back(level, text);
}

void logThroughVa(int level, const char* format, ...)
{
    va_list args;
    va_start(args, format);
    blogva(level, format, args);
    va_end(args);
}

// Prints one message through the default handler; returns what reached stdout and stderr.
std::string defaultHandlerOutput(int level, const char* text)
{
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    blog(level, "%s", text);
    const std::string err = testing::internal::GetCapturedStderr();
    return testing::internal::GetCapturedStdout() + (err.empty() ? "" : "[stderr]" + err);
}

const base_allocator kFailing = {[](size_t) -> void* { return nullptr; },
                                 [](void*, size_t) -> void* { return nullptr; }, std::free};

bool aligned32(const void* p)
{
    return reinterpret_cast<uintptr_t>(p) % 32 == 0;
}

} // namespace

TEST(BaseHooks, LogHandlerReceivesEveryCallAndNullRestoresTheDefault)
{
    base_log_handler_t defaultHandler = nullptr;
    void* defaultParam = nullptr;
    base_get_log_handler(&defaultHandler, &defaultParam);

    Records records;
    base_set_log_handler(recordingHandler, &records);
    blog(BLOG_WARNING, "%d %s", 42, "apples");
    logThroughVa(BLOG_DEBUG, "via %s", "va_list");
    EXPECT_EQ(records, (Records{{200, "42 apples"}, {400, "via va_list"}}));

    int other = 0;
    base_set_log_handler(nullptr, &other);
    base_log_handler_t handler = nullptr;
    void* param = nullptr;
    base_get_log_handler(&handler, &param);
    EXPECT_EQ(handler, defaultHandler);
    EXPECT_EQ(param, &other) << "the parameter is kept";
    base_set_log_handler(nullptr, defaultParam);
}

TEST(BaseHooks, DefaultHandlerPrintsUpToInfo)
{
    EXPECT_EQ(defaultHandlerOutput(BLOG_ERROR, "disk full"), "[stderr]error: disk full\n");
    EXPECT_EQ(defaultHandlerOutput(BLOG_WARNING, "slow writer"), "warning: slow writer\n");
    EXPECT_EQ(defaultHandlerOutput(BLOG_INFO, "started"), "info: started\n");
    for (int level : {400, 0, 99, 150, 299, 301, 500, -100})
        EXPECT_EQ(defaultHandlerOutput(level, "hidden"), "") << "level " << level;
    const std::string longText(5000, 'x');
    EXPECT_EQ(defaultHandlerOutput(BLOG_INFO, longText.c_str()),
              "info: " + std::string(4095, 'x') + "\n");
}

TEST(BaseHooks, DefaultAllocatorAlignsAndKeepsContents)
{
    EXPECT_EQ(base_get_alignment(), 32u);
    // Growing and shrinking keeps the contents; shrinking to nothing still gives a usable block.
    auto* block = static_cast<unsigned char*>(bmalloc(1));
    size_t size = 0;
    for (size_t next : {1u, 7u, 33u, 4000u, 70000u, 50u, 300000u, 0u}) {
        block = static_cast<unsigned char*>(size ? brealloc(block, next) : block);
        ASSERT_TRUE(block && aligned32(block)) << next;
        for (size_t i = 0; i < std::min(size, next); ++i)
            ASSERT_EQ(block[i], static_cast<unsigned char>(0x5a + i)) << "byte " << i;
        for (size_t i = 0; i < std::max<size_t>(next, 1); ++i)
            block[i] = static_cast<unsigned char>(0x5a + i);
        size = next;
    }
    bfree(block);
    bfree(nullptr);

    const char text[] = "copied bytes";
    char* copy = static_cast<char*>(bmemdup(text, sizeof(text)));
    EXPECT_STREQ(copy, text);
    EXPECT_TRUE(aligned32(copy));
    bfree(copy);
    EXPECT_EQ(bnum_allocs(), 0u);
}

// A crash ends the process with 1 (default or returning handler), 2 inside the crash handler.
TEST(BaseHooksDeathTest, CrashesEndTheProcessWithAFailureStatus)
{
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT((base_set_allocator(&kFailing), bmalloc(123)), testing::ExitedWithCode(1),
                "^Out of memory while trying to allocate 123 bytes$");
    EXPECT_EXIT(
        (base_set_crash_handler([](const char*, va_list, void*) {}, nullptr), bcrash("returned")),
        testing::ExitedWithCode(1), "");
    EXPECT_EXIT(
        (base_set_crash_handler([](const char*, va_list, void*) { bcrash("second"); }, nullptr),
         bcrash("first crash")),
        testing::ExitedWithCode(2), "^Crashed in the crash handler$");
}
