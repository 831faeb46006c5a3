#pragma once

#include <QByteArray>
#include <QHash>
#include <QImage>
#include <QList>
#include <QMutex>
#include <QObject>
#include <QThreadPool>
#include <QUuid>
#include <QWaitCondition>

#include <atomic>
#include <functional>
#include <utility>

// Decodes live-view frames off the main thread, the newest first. Each camera has at most one
// frame waiting to be decoded (a newer one replaces it) and one decoded frame waiting to be shown
// (the decoder waits for the window to take it before it hands over the next), so a camera that
// sends faster than frames decode, or than the window draws, never builds a backlog, and what is
// shown is always the latest frame that could be decoded in time. The decoding thread goes from
// one frame to the next by itself (it never waits for the main thread to hand it the next one);
// decoded frames are handed to `show` on the main thread, with the camera's id. Frames that do not
// decode are dropped (the last frame stays). Destroying the decoder waits for the decode that runs
// and delivers nothing more. The public calls are for the main thread.
class LiveViewDecoder : public QObject
{
    Q_OBJECT

public:
    using Show = std::function<void(const QUuid &cameraId, const QImage &frame)>;
    explicit LiveViewDecoder(Show show, QObject *parent = nullptr);
    ~LiveViewDecoder() override;

    void decode(const QUuid &cameraId, const QByteArray &jpeg);
    // No frame is decoding, waiting, or decoded and not yet shown.
    [[nodiscard]] bool idle() const;

private:
    // The decoding thread's loop, starting with `first`, then taking waiting frames in the order
    // their cameras sent them until none is left.
    void run(QUuid cameraId, QByteArray first);
    void deliver();
    // The first camera in turn and its waiting frame, taken. Under the mutex, with a turn left.
    std::pair<QUuid, QByteArray> nextTurn();

    struct Camera {
        QByteArray waiting; // null when none
        QImage decoded;     // null when none
    };
    Show m_show;
    mutable QMutex m_mutex; // guards everything below but the pool
    QHash<QUuid, Camera> m_cameras;
    QList<QUuid> m_turns;          // cameras with a waiting frame, first sent first
    bool m_running = false;        // the loop runs, or has ended and the main thread is yet to see it
    bool m_loopDone = false;       // the loop has ended
    bool m_deliveryPosted = false; // deliver() is queued on the main thread
    QWaitCondition m_taken;        // deliver() has taken the decoded frames
    std::atomic<bool> m_cancelled { false };
    // Declared last: stopped first.
    QThreadPool m_pool;
};
