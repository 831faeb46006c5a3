#include "ViewerAids.h"

#include <utility>

#include "Zelv.h"
#include "model/Background.h"

ViewerAids::ViewerAids(QObject *parent)
    : QObject(parent)
{
    // One worker: the aids of one image at a time, newest first, never a queue.
    m_pool.setMaxThreadCount(1);
    m_histogramTimer.setSingleShot(true);
    m_histogramTimer.setInterval(kHistogramIntervalMs);
    connect(&m_histogramTimer, &QTimer::timeout, this, &ViewerAids::histogramIntervalEnded);
}

ViewerAids::~ViewerAids()
{
    m_latest->store(0); // whatever still runs is skipped
    m_pool.waitForDone();
}

void ViewerAids::show(const QImage &image, const QString &identity, bool live)
{
    if (image.cacheKey() == m_image.cacheKey() && identity == m_identity && live == m_live)
        return;
    const bool sameSubject = identity == m_identity && live == m_live && !image.isNull();
    m_image = image;
    m_identity = identity;
    m_live = live;
    m_latest->store(++m_generation);
    if (!sameSubject) {
        m_histogram = {};
        m_clippingMask = {};
        m_peakingMask = {};
        emit histogramChanged();
        emit masksChanged();
    }
    m_histogramOwed = false;
    if (image.isNull())
        return;
    Job job{m_generation, image, false, m_clipping, m_peaking && live};
    if (!sameSubject || !m_histogramTimer.isActive()) {
        job.histogram = true;
        m_histogramTimer.start();
    }
    enqueue(std::move(job));
    m_histogramOwed = !jobForShown()->histogram;
}

void ViewerAids::setOptions(bool clipping, bool peaking)
{
    const bool clippingOn = clipping && !m_clipping;
    const bool peakingOn = peaking && !m_peaking;
    m_clipping = clipping;
    m_peaking = peaking;
    if ((!clipping && !m_clippingMask.isNull()) || (!peaking && !m_peakingMask.isNull())) {
        if (!clipping)
            m_clippingMask = {};
        if (!peaking)
            m_peakingMask = {};
        emit masksChanged();
    }
    if (!m_image.isNull() && (clippingOn || (peakingOn && m_live)))
        enqueue(Job{m_generation, m_image, false, clippingOn, peakingOn && m_live});
}

const ViewerAids::Job *ViewerAids::jobForShown() const
{
    if (m_pending && m_pending->generation == m_generation)
        return &*m_pending;
    if (m_running && m_running->generation == m_generation)
        return &*m_running;
    return nullptr;
}

void ViewerAids::enqueue(Job job)
{
    if (m_pending && m_pending->generation == job.generation) {
        m_pending->histogram |= job.histogram;
        m_pending->clipping |= job.clipping;
        m_pending->peaking |= job.peaking;
        return;
    }
    // A histogram asked for an image that has been moved past is owed to the newest one.
    if (m_pending)
        job.histogram |= m_pending->histogram;
    if (m_running && m_running->generation != job.generation)
        job.histogram |= m_running->histogram;
    if (m_running)
        m_pending = std::move(job);
    else
        start(std::move(job));
}

void ViewerAids::start(Job job)
{
    m_running = job;
    m_running->image = QImage();
    const QRgb highlight = Zelv::clipHighlight().rgba();
    const QRgb shadow = Zelv::clipShadow().rgba();
    const QRgb tint = Zelv::accent().rgba();
    m_pool.start([this, job = std::move(job), latest = m_latest, highlight, shadow, tint] {
        background::yieldToWindow(0);
        Result result{job.generation, {}, {}, {}};
        const auto current = [&] { return latest->load() == job.generation; };
        if (current()) {
            ++m_computed;
            if (job.histogram)
                result.histogram = ImageAids::histogram(job.image);
        }
        if (job.clipping && current())
            result.clipping = ImageAids::clippingMask(job.image, highlight, shadow);
        if (job.peaking && current())
            result.peaking = ImageAids::peakingMask(job.image, tint);
        QMetaObject::invokeMethod(this, [this, result = std::move(result)] { finished(result); }, Qt::QueuedConnection);
    });
}

void ViewerAids::finished(const Result &result)
{
    m_running.reset();
    if (result.generation == m_generation) {
        if (result.histogram) {
            m_histogram = *result.histogram;
            emit histogramChanged();
        }
        // An option switched off meanwhile keeps its mask off.
        const bool clipping = result.clipping && m_clipping;
        const bool peaking = result.peaking && m_peaking;
        if (clipping)
            m_clippingMask = *result.clipping;
        if (peaking)
            m_peakingMask = *result.peaking;
        if (clipping || peaking)
            emit masksChanged();
    }
    if (m_pending)
        start(*std::exchange(m_pending, std::nullopt));
}

void ViewerAids::histogramIntervalEnded()
{
    if (!m_histogramOwed)
        return;
    m_histogramOwed = false;
    m_histogramTimer.start();
    enqueue(Job{m_generation, m_image, true, false, false});
}
