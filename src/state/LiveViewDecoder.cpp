#include "state/LiveViewDecoder.h"

#include "model/Background.h"

#include <algorithm>
#include <utility>

LiveViewDecoder::LiveViewDecoder(Show show, QObject *parent)
    : QObject(parent)
    , m_show(std::move(show))
{
    // One thread: frames of a camera are decoded in turn anyway, and the other core stays free
    // for rendering.
    m_pool.setMaxThreadCount(1);
    m_pool.setObjectName(QStringLiteral("halvane-liveview"));
}

LiveViewDecoder::~LiveViewDecoder()
{
    m_cancelled->store(true);
    m_pool.waitForDone();
}

void LiveViewDecoder::decode(const QUuid &cameraId, const QByteArray &jpeg)
{
    Camera &cam = m_cameras[cameraId];
    if (cam.decoding)
        cam.waiting = jpeg; // replaces the frame waiting, if any
    else
        start(cameraId, jpeg);
}

bool LiveViewDecoder::idle() const
{
    return std::all_of(m_cameras.cbegin(), m_cameras.cend(),
        [](const Camera &cam) { return !cam.decoding && cam.waiting.isNull(); });
}

void LiveViewDecoder::start(const QUuid &cameraId, QByteArray jpeg)
{
    m_cameras[cameraId].decoding = true;
    // The decoder outlives the job (its destructor waits for it); a delivery still queued when
    // it goes away is dropped with it.
    m_pool.start([this, cameraId, jpeg = std::move(jpeg), cancelled = m_cancelled] {
        if (cancelled->load())
            return;
        background::yieldToWindow(0);
        QImage frame;
        frame.loadFromData(jpeg);
        QMetaObject::invokeMethod(
            this, [this, cameraId, frame = std::move(frame)] { decoded(cameraId, frame); }, Qt::QueuedConnection);
    });
}

void LiveViewDecoder::decoded(const QUuid &cameraId, const QImage &frame)
{
    Camera &cam = m_cameras[cameraId];
    cam.decoding = false;
    if (!cam.waiting.isNull())
        start(cameraId, std::exchange(cam.waiting, QByteArray()));
    if (!frame.isNull())
        m_show(cameraId, frame);
}
