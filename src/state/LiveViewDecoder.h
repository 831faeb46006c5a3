#pragma once

#include <QByteArray>
#include <QHash>
#include <QImage>
#include <QObject>
#include <QThreadPool>
#include <QUuid>

#include <atomic>
#include <functional>
#include <memory>

// Decodes live-view frames off the main thread, the newest first. Each camera has at most one
// frame decoding and one waiting: a frame that arrives while another waits replaces it, so a
// camera that sends faster than frames decode never builds a backlog, and what is shown is always
// the latest frame that could be decoded in time. Decoded frames are handed to `show` on the main
// thread, with the camera's id; frames that do not decode are dropped (the last frame stays).
// Destroying the decoder waits for the decode that runs and delivers nothing more. Main thread
// only.
class LiveViewDecoder : public QObject
{
    Q_OBJECT

public:
    using Show = std::function<void(const QUuid &cameraId, const QImage &frame)>;
    explicit LiveViewDecoder(Show show, QObject *parent = nullptr);
    ~LiveViewDecoder() override;

    void decode(const QUuid &cameraId, const QByteArray &jpeg);
    // No frame is decoding or waiting.
    [[nodiscard]] bool idle() const;

private:
    void start(const QUuid &cameraId, QByteArray jpeg);
    void decoded(const QUuid &cameraId, const QImage &frame);

    struct Camera {
        bool decoding = false;
        QByteArray waiting; // null when none
    };
    Show m_show;
    QHash<QUuid, Camera> m_cameras;
    std::shared_ptr<std::atomic<bool>> m_cancelled = std::make_shared<std::atomic<bool>>(false);
    // Declared last: stopped first.
    QThreadPool m_pool;
};
