#include <condition_variable>
#include <memory>
#include <mutex>
#include <thread>

#include "model/Background.h"

namespace {

// An image over memory of its own, which notes where and when it is let go; it can be made to
// wait there until the test opens the gate.
struct Watched {
    std::mutex mutex;
    std::condition_variable changed;
    bool freed = false;
    bool gateOpen = true;
    std::thread::id where;
    std::unique_ptr<uchar[]> data;

    QImage image(int width, int height)
    {
        data = std::make_unique<uchar[]>(size_t(width) * size_t(height) * 4);
        return QImage(data.get(), width, height, QImage::Format_RGB32,
            [](void *info) {
                auto &w = *static_cast<Watched *>(info);
                std::unique_lock lock(w.mutex);
                w.data.reset();
                w.where = std::this_thread::get_id();
                w.freed = true;
                w.changed.notify_all();
                w.changed.wait(lock, [&] { return w.gateOpen; });
            },
            this);
    }
    bool waitFreed()
    {
        std::unique_lock lock(mutex);
        return changed.wait_for(lock, std::chrono::seconds(10), [this] { return freed; });
    }
    void open()
    {
        const std::lock_guard lock(mutex);
        gateOpen = true;
        changed.notify_all();
    }
};

TEST(BackgroundRelease, LargeBlocksAreLetGoBehindTheWindowWithinTheBound)
{
    const auto here = std::this_thread::get_id();
    // The first large one goes on the releasing thread, which is held there.
    Watched held;
    held.gateOpen = false;
    background::release(held.image(512, 512));
    ASSERT_TRUE(held.waitFreed());
    EXPECT_NE(held.where, here);

    // Meanwhile the next waits in the queue, unfreed.
    Watched queued;
    background::release(queued.image(512, 512));
    {
        const std::lock_guard lock(queued.mutex);
        EXPECT_FALSE(queued.freed);
    }
    // Past the bound of what may wait, and below the size worth handing over, blocks are let go
    // at once, here.
    Watched overBound, small;
    background::release(overBound.image(2048, 3968)); // 31 MiB, with the 1 MiB waiting
    background::release(small.image(100, 100));
    for (Watched *w : { &overBound, &small }) {
        const std::lock_guard lock(w->mutex);
        EXPECT_TRUE(w->freed);
        EXPECT_EQ(w->where, here);
    }
    held.open();
    ASSERT_TRUE(queued.waitFreed());
    EXPECT_NE(queued.where, here);
    // Nothing is left to free once they go, whatever went wrong above.
    EXPECT_TRUE(overBound.waitFreed() && small.waitFreed());
}

} // namespace
