#include "model/Background.h"

#include <condition_variable>
#include <mutex>
#include <thread>
#include <variant>
#include <vector>

#include <sched.h>
#include <sys/resource.h>
#include <unistd.h>

namespace background {

void yieldToWindow(int niceness)
{
    thread_local int applied = -1;
    if (applied == niceness)
        return;
    applied = niceness;
    sched_param param{};
    param.sched_priority = 0;
    ::sched_setscheduler(0, SCHED_BATCH, &param);
    // On Linux the nice value belongs to the thread, not the process.
    ::setpriority(PRIO_PROCESS, static_cast<id_t>(::gettid()), niceness);
}

namespace {

// Below this a block is cheap to free anywhere; past this much waiting, callers free their own.
constexpr qsizetype kMinReleased = 256 * 1024;
constexpr qint64 kMaxReleasing = qint64(32) << 20;

using Block = std::variant<QImage, QByteArray>;

// One thread for the whole process, started when first needed, ended at exit after it has let
// go of what is still queued.
class Releaser
{
public:
    ~Releaser()
    {
        {
            const std::lock_guard lock(m_mutex);
            m_stopping = true;
        }
        m_wake.notify_one();
        if (m_thread.joinable())
            m_thread.join();
    }

    // False when the queue is full: the caller lets go itself.
    bool take(Block &&block, qint64 bytes)
    {
        {
            const std::lock_guard lock(m_mutex);
            if (m_stopping || m_bytes + bytes > kMaxReleasing)
                return false;
            if (!m_thread.joinable())
                m_thread = std::thread([this] { run(); });
            m_queue.push_back({ std::move(block), bytes });
            m_bytes += bytes;
        }
        m_wake.notify_one();
        return true;
    }

private:
    void run()
    {
        yieldToWindow(0);
        std::unique_lock lock(m_mutex);
        for (;;) {
            m_wake.wait(lock, [this] { return m_stopping || !m_queue.empty(); });
            if (m_queue.empty())
                return;
            std::vector<std::pair<Block, qint64>> batch;
            batch.swap(m_queue);
            lock.unlock();
            qint64 freed = 0;
            for (auto &[block, bytes] : batch)
                freed += bytes;
            batch.clear(); // the blocks go here, outside the lock
            lock.lock();
            m_bytes -= freed;
        }
    }

    std::mutex m_mutex;
    std::condition_variable m_wake;
    std::vector<std::pair<Block, qint64>> m_queue;
    qint64 m_bytes = 0;
    bool m_stopping = false;
    std::thread m_thread;
};

Releaser &releaser()
{
    static Releaser instance;
    return instance;
}

template <typename T> void handOver(T &&block, qint64 bytes, bool detached)
{
    if (!detached || bytes < kMinReleased || !releaser().take(Block(std::move(block)), bytes))
        T().swap(block); // let go here and now
}

} // namespace

void release(QImage &&image)
{
    handOver(std::move(image), image.sizeInBytes(), image.isDetached());
}

void release(QByteArray &&bytes)
{
    handOver(std::move(bytes), bytes.capacity(), bytes.isDetached());
}

} // namespace background
