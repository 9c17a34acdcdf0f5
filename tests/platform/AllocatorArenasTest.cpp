#include "platform/AllocatorArenas.h"

#include <gtest/gtest.h>

#include <malloc.h>

#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace Tarvent::VirtualChannel {
namespace {

// The arenas the allocator has made so far, as its own report counts them.
int arenas()
{
    char* text = nullptr;
    std::size_t size = 0;
    FILE* const stream = ::open_memstream(&text, &size);
    if (stream == nullptr) {
        return -1;
    }
    ::malloc_info(0, stream);
    std::fclose(stream);
    const std::unique_ptr<char, decltype(&std::free)> owned(text, &std::free);
    const std::string report(text, size);
    int count = 0;
    for (std::size_t at = report.find("<heap nr="); at != std::string::npos; at = report.find("<heap nr=", at + 1)) {
        ++count;
    }
    return count;
}

// Threads that each hold an allocation while the others make theirs: left
// alone, the allocator gives every one of them an arena of its own.
TEST(AllocatorArenas, ThreadsAllocatingAtOnceShareTheCappedArenas)
{
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
    GTEST_SKIP() << "the sanitizer's allocator has no arenas";
#endif
    ASSERT_TRUE(limitAllocatorArenas());

    constexpr int kThreads = 8;
    std::mutex mutex;
    std::condition_variable allHold;
    int holding = 0;
    std::vector<std::thread> threads;
    for (int i = 0; i < kThreads; ++i) {
        threads.emplace_back([&] {
            const std::unique_ptr<char[]> block(new char[4096]);
            block[0] = 1;
            std::unique_lock<std::mutex> lock(mutex);
            ++holding;
            allHold.notify_all();
            allHold.wait(lock, [&] { return holding == kThreads; });
        });
    }
    for (auto& thread : threads) {
        thread.join();
    }
    EXPECT_LE(arenas(), kAllocatorArenas);
}

}  // namespace
}  // namespace Tarvent::VirtualChannel
