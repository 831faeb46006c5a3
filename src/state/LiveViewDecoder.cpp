#include "state/LiveViewDecoder.h"

#include <QMutexLocker>

#include <tuple>
#include <utility>

#include "ingest/ImageDecode.h"
#include "model/Background.h"

LiveViewDecoder::LiveViewDecoder(Show show, QObject *parent)
    : QObject(parent)
    , m_show(std::move(show))
{
    // One thread: it decodes the cameras' frames in turn, and the other core stays free for
    // rendering.
    m_pool.setMaxThreadCount(1);
    m_pool.setObjectName(QStringLiteral("halvane-liveview"));
}

LiveViewDecoder::~LiveViewDecoder()
{
    {
        const QMutexLocker lock(&m_mutex);
        m_cancelled.store(true);
        m_taken.wakeAll();
    }
    m_pool.waitForDone();
}

void LiveViewDecoder::decode(const QUuid &cameraId, const QByteArray &jpeg)
{
    const QMutexLocker lock(&m_mutex);
    if (!m_running) {
        // Taken now, so a frame that arrives next only waits behind it.
        m_running = true;
        m_pool.start([this, cameraId, jpeg] { run(cameraId, jpeg); });
        return;
    }
    Camera &cam = m_cameras[cameraId];
    if (cam.waiting.isNull())
        m_turns.append(cameraId);
    cam.waiting = jpeg; // replaces the frame waiting, if any
}

bool LiveViewDecoder::idle() const
{
    const QMutexLocker lock(&m_mutex);
    return !m_running && !m_deliveryPosted;
}

void LiveViewDecoder::run(QUuid cameraId, QByteArray bytes)
{
    background::yieldToWindow(0);
    for (;;) {
        const QImage frame = m_cancelled.load() ? QImage() : decodeFrame(bytes);
        QMutexLocker lock(&m_mutex);
        if (!frame.isNull()) {
            // One decoded frame per camera waits for the window: the next one waits for it to be
            // taken, so no decode is thrown away unseen when the window draws slower than frames
            // decode (the frames that arrive meanwhile replace each other undecoded instead).
            Camera *cam = &m_cameras[cameraId];
            while (!cam->decoded.isNull() && !m_cancelled.load()) {
                m_taken.wait(&m_mutex);
                cam = &m_cameras[cameraId];
            }
            cam->decoded = frame;
        }
        // Out of frames: the loop ends, and the main thread, which clears m_running, starts the
        // next one. Until then frames wait, so arrival order alone decides what is decoded.
        const bool done = m_turns.isEmpty() || m_cancelled.load();
        m_loopDone = done;
        if ((done || !frame.isNull()) && !m_deliveryPosted) {
            m_deliveryPosted = true;
            QMetaObject::invokeMethod(this, &LiveViewDecoder::deliver, Qt::QueuedConnection);
        }
        if (done)
            return;
        std::tie(cameraId, bytes) = nextTurn();
    }
}

std::pair<QUuid, QByteArray> LiveViewDecoder::nextTurn()
{
    const QUuid cameraId = m_turns.takeFirst();
    return { cameraId, std::exchange(m_cameras[cameraId].waiting, QByteArray()) };
}

void LiveViewDecoder::deliver()
{
    QList<std::pair<QUuid, QImage>> frames;
    {
        const QMutexLocker lock(&m_mutex);
        m_deliveryPosted = false;
        for (auto it = m_cameras.begin(); it != m_cameras.end(); ++it) {
            if (!it->decoded.isNull())
                frames.append({ it.key(), std::exchange(it->decoded, QImage()) });
        }
        m_taken.wakeAll();
        if (m_loopDone) {
            m_loopDone = false;
            m_running = !m_turns.isEmpty();
            if (m_running)
                m_pool.start([this, turn = nextTurn()] { run(turn.first, turn.second); });
        }
    }
    for (const auto &[cameraId, frame] : frames)
        m_show(cameraId, frame);
}
