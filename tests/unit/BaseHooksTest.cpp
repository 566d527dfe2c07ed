#include "api/BaseHooks.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

struct LogRecord
{
    int level = 0;
    std::string text;
    void* param = nullptr;
};

void recordingHandler(int level, const char* format, va_list args, void* param)
{
    auto* records = static_cast<std::vector<LogRecord>*>(param);
    char text[256];
    std::vsnprintf(text, sizeof(text), format, args);
    records->push_back({level, text, param});
}

void logThroughVa(int level, const char* format, ...)
{
    va_list args;
    va_start(args, format);
    blogva(level, format, args);
    va_end(args);
}

// Restores the log handler that was installed when the test began.
class LogHandlerGuard
{
public:
    LogHandlerGuard() { base_get_log_handler(&m_handler, &m_param); }
    ~LogHandlerGuard() { base_set_log_handler(m_handler, m_param); }
    LogHandlerGuard(const LogHandlerGuard&) = delete;
    LogHandlerGuard& operator=(const LogHandlerGuard&) = delete;

private:
    base_log_handler_t m_handler = nullptr;
    void* m_param = nullptr;
};

struct Output
{
    std::string out, err;
};

Output logWithDefaultHandler(int level, const char* format, const char* arg)
{
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    blog(level, format, arg);
    Output o;
    o.err = testing::internal::GetCapturedStderr();
    o.out = testing::internal::GetCapturedStdout();
    return o;
}

// An allocator that refuses zero-size requests and records what it was asked for.
std::vector<size_t> g_requests;

void* refusingZeroMalloc(size_t size)
{
    g_requests.push_back(size);
    return size == 0 ? nullptr : std::malloc(size);
}

void* refusingZeroRealloc(void* ptr, size_t size)
{
    g_requests.push_back(size);
    if (size == 0) {
        std::free(ptr);
        return nullptr;
    }
    return std::realloc(ptr, size);
}

void* failingMalloc(size_t)
{
    return nullptr;
}

void* failingRealloc(void*, size_t)
{
    return nullptr;
}

[[noreturn]] void exitingCrashHandler(const char* format, va_list args, void* param)
{
    std::vfprintf(stderr, format, args);
    std::fprintf(stderr, " [%s]", static_cast<const char*>(param));
    std::fflush(stderr);
    std::_Exit(3);
}

void reentrantCrashHandler(const char*, va_list, void*)
{
    bcrash("second crash");
}

bool aligned32(const void* p)
{
    return reinterpret_cast<uintptr_t>(p) % 32 == 0;
}

} // namespace

TEST(BaseHooks, LogHandlerIsInstalledReadAndRestored)
{
    LogHandlerGuard guard;
    base_log_handler_t defaultHandler = nullptr;
    base_get_log_handler(&defaultHandler, nullptr);
    ASSERT_NE(defaultHandler, nullptr);

    std::vector<LogRecord> records;
    base_set_log_handler(recordingHandler, &records);
    base_log_handler_t handler = nullptr;
    void* param = nullptr;
    base_get_log_handler(&handler, &param);
    EXPECT_EQ(handler, &recordingHandler);
    EXPECT_EQ(param, &records);
    base_get_log_handler(nullptr, nullptr);

    blog(BLOG_WARNING, "%d %s", 42, "apples");
    logThroughVa(BLOG_DEBUG, "via %s", "va_list");
    ASSERT_EQ(records.size(), 2u);
    EXPECT_EQ(records[0].level, 200);
    EXPECT_EQ(records[0].text, "42 apples");
    EXPECT_EQ(records[0].param, &records);
    EXPECT_EQ(records[1].level, 400);
    EXPECT_EQ(records[1].text, "via va_list");

    // A null handler brings back the default one but keeps the parameter.
    int other = 0;
    base_set_log_handler(nullptr, &other);
    base_get_log_handler(&handler, &param);
    EXPECT_EQ(handler, defaultHandler);
    EXPECT_EQ(param, &other);
}

TEST(BaseHooks, DefaultHandlerPrintsUpToInfo)
{
    LogHandlerGuard guard;
    base_set_log_handler(nullptr, nullptr);

    Output o = logWithDefaultHandler(BLOG_ERROR, "disk %s", "full");
    EXPECT_EQ(o.err, "error: disk full\n");
    EXPECT_EQ(o.out, "");

    o = logWithDefaultHandler(BLOG_WARNING, "slow %s", "writer");
    EXPECT_EQ(o.out, "warning: slow writer\n");
    EXPECT_EQ(o.err, "");

    o = logWithDefaultHandler(BLOG_INFO, "%s", "started");
    EXPECT_EQ(o.out, "info: started\n");
    EXPECT_EQ(o.err, "");

    // Debug is above the threshold; other levels have no text.
    for (int level : {400, 0, 1, 99, 150, 250, 299, 301, 500, -100}) {
        o = logWithDefaultHandler(level, "%s", "hidden");
        EXPECT_EQ(o.out + o.err, "") << "level " << level;
    }

    const std::string longText(5000, 'x');
    o = logWithDefaultHandler(BLOG_INFO, "%s", longText.c_str());
    EXPECT_EQ(o.out, "info: " + std::string(4095, 'x') + "\n");
}

TEST(BaseHooks, DefaultAllocatorAlignsAndKeepsContents)
{
    EXPECT_EQ(base_get_alignment(), 32u);

    unsigned char* block = static_cast<unsigned char*>(bmalloc(1));
    ASSERT_NE(block, nullptr);
    EXPECT_TRUE(aligned32(block));
    block[0] = 0x5a;
    size_t size = 1;
    for (size_t next : {7u, 33u, 100u, 4000u, 70000u, 50u, 300000u}) {
        block = static_cast<unsigned char*>(brealloc(block, next));
        ASSERT_NE(block, nullptr);
        EXPECT_TRUE(aligned32(block)) << next;
        for (size_t i = 0; i < std::min(size, next); ++i)
            ASSERT_EQ(block[i], static_cast<unsigned char>(0x5a + i)) << "byte " << i;
        for (size_t i = 0; i < next; ++i)
            block[i] = static_cast<unsigned char>(0x5a + i);
        size = next;
    }
    bfree(block);

    for (size_t n : {0u, 1u, 31u, 32u, 1000u, 1u << 20}) {
        void* p = bmalloc(n);
        EXPECT_NE(p, nullptr);
        EXPECT_TRUE(aligned32(p)) << n;
        bfree(p);
    }

    // Growing from nothing and shrinking to nothing still give usable blocks.
    void* p = brealloc(nullptr, 64);
    EXPECT_TRUE(aligned32(p));
    p = brealloc(p, 0);
    ASSERT_NE(p, nullptr);
    static_cast<unsigned char*>(p)[0] = 1;
    bfree(p);
    bfree(nullptr);

    const char text[] = "copied bytes";
    char* copy = static_cast<char*>(bmemdup(text, sizeof(text)));
    ASSERT_NE(copy, nullptr);
    EXPECT_NE(copy, text);
    EXPECT_STREQ(copy, text);
    EXPECT_TRUE(aligned32(copy));
    bfree(copy);
    void* empty = bmemdup(text, 0);
    EXPECT_NE(empty, nullptr);
    bfree(empty);

    EXPECT_EQ(bnum_allocs(), 0u);
}

TEST(BaseHooks, ZeroSizeRequestsRetryWithOneByte)
{
    const base_allocator refusing = {refusingZeroMalloc, refusingZeroRealloc, std::free};
    base_set_allocator(&refusing);
    g_requests.clear();

    unsigned char* p = static_cast<unsigned char*>(bmalloc(0));
    ASSERT_NE(p, nullptr);
    p[0] = 7;
    EXPECT_EQ(g_requests, (std::vector<size_t>{0, 1}));

    g_requests.clear();
    p = static_cast<unsigned char*>(brealloc(p, 0));
    ASSERT_NE(p, nullptr);
    p[0] = 8;
    EXPECT_EQ(g_requests, (std::vector<size_t>{0, 1}));

    g_requests.clear();
    void* copy = bmemdup("abc", 0);
    EXPECT_NE(copy, nullptr);
    EXPECT_EQ(g_requests, (std::vector<size_t>{0, 1}));
    bfree(copy);
    bfree(p);

    base_set_allocator(nullptr);
    EXPECT_EQ(bnum_allocs(), 0u);
}

TEST(BaseHooksDeathTest, OutOfMemoryEndsInTheCrashHandler)
{
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    const base_allocator failing = {failingMalloc, failingRealloc, std::free};

    EXPECT_EXIT(
        {
            base_set_allocator(&failing);
            bmalloc(123);
        },
        testing::ExitedWithCode(1), "^Out of memory while trying to allocate 123 bytes$");
    EXPECT_EXIT(
        {
            base_set_allocator(&failing);
            brealloc(nullptr, 4567);
        },
        testing::ExitedWithCode(1), "Out of memory while trying to allocate 4567 bytes");
    EXPECT_EXIT(
        {
            base_set_allocator(&failing);
            static char tag[] = "host";
            base_set_crash_handler(exitingCrashHandler, tag);
            bmemdup("x", 1);
        },
        testing::ExitedWithCode(3), "allocate 1 bytes \\[host\\]");
    EXPECT_EXIT(
        {
            // A null crash handler falls back to the default behaviour.
            base_set_crash_handler(nullptr, nullptr);
            bcrash("gave up after %d tries", 3);
        },
        testing::ExitedWithCode(1), "gave up after 3 tries");
}

TEST(BaseHooksDeathTest, CrashInsideTheCrashHandlerExitsWithTwo)
{
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(
        {
            base_set_crash_handler(reentrantCrashHandler, nullptr);
            bcrash("first crash");
        },
        testing::ExitedWithCode(2), "^Crashed in the crash handler$");
}
