#pragma once

#include <QImage>
#include <QObject>
#include <QThreadPool>
#include <QTimer>
#include <QtQml/qqmlregistration.h>

#include <atomic>
#include <memory>
#include <optional>

#include "ImageAids.h"

// The aids for the image the viewer shows, computed on a worker thread from that very image (no
// decode of its own): the histogram, and the clipping and peaking masks while they are switched
// on (peaking on live view only). The newest image wins: at most one computation runs and one
// waits; a newer image replaces the waiting one, and a result for an image the viewer has moved
// past is dropped, never shown. Live view brings a new frame many times a second: its masks
// follow every frame, its histogram at most every kHistogramIntervalMs (the last frame always
// gets one). A new photo or camera clears what was shown at once; a new image of the same one (a
// live frame, the full decode after a reduced one) keeps the old aids until its own arrive, so
// they do not flicker. Part of WindowState, which feeds it the viewer's image and the options.
class ViewerAids : public QObject
{
    Q_OBJECT
    QML_ELEMENT
    QML_UNCREATABLE("Part of WindowState")

    Q_PROPERTY(bool hasHistogram READ hasHistogram NOTIFY histogramChanged)
    Q_PROPERTY(QImage clippingMask READ clippingMask NOTIFY masksChanged)
    Q_PROPERTY(QImage peakingMask READ peakingMask NOTIFY masksChanged)

public:
    // At most ten histograms a second on live view.
    static constexpr int kHistogramIntervalMs = 100;

    explicit ViewerAids(QObject *parent = nullptr);
    ~ViewerAids() override;

    // The image the viewer shows (null: none), under ViewerSource's identity; `live` when it is a
    // live-view frame.
    void show(const QImage &image, const QString &identity, bool live);
    void setOptions(bool clipping, bool peaking);

    [[nodiscard]] const ImageAids::Histogram &histogram() const { return m_histogram; }
    [[nodiscard]] bool hasHistogram() const { return !m_histogram.isEmpty(); }
    [[nodiscard]] QImage clippingMask() const { return m_clippingMask; }
    [[nodiscard]] QImage peakingMask() const { return m_peakingMask; }

    // Whether a computation runs or waits; for tests and the benchmark.
    [[nodiscard]] bool busy() const { return m_running.has_value(); }
    // Images the worker has started computing on, superseded ones not counted.
    [[nodiscard]] int computed() const { return m_computed.load(); }
    // Tests stretch the live histogram's interval; a running interval restarts with the new one.
    void setHistogramInterval(int ms) { m_histogramTimer.setInterval(ms); }

signals:
    void histogramChanged();
    void masksChanged();

private:
    struct Job {
        quint64 generation = 0;
        QImage image;
        bool histogram = false;
        bool clipping = false;
        bool peaking = false;
    };
    struct Result {
        quint64 generation = 0;
        std::optional<ImageAids::Histogram> histogram;
        std::optional<QImage> clipping;
        std::optional<QImage> peaking;
    };

    void enqueue(Job job);
    void start(Job job);
    void finished(const Result &result);
    void histogramIntervalEnded();
    // The job that will compute on the image shown now, when there is one.
    [[nodiscard]] const Job *jobForShown() const;

    QImage m_image;
    QString m_identity;
    bool m_live = false;
    bool m_clipping = false;
    bool m_peaking = false;
    quint64 m_generation = 0;
    // The generation of the image shown, read by the worker to skip work it has been moved past.
    std::shared_ptr<std::atomic<quint64>> m_latest = std::make_shared<std::atomic<quint64>>(0);
    std::atomic<int> m_computed = 0;
    std::optional<Job> m_running; // its image is released when the job starts
    std::optional<Job> m_pending;
    QTimer m_histogramTimer;
    bool m_histogramOwed = false; // the image shown still lacks a histogram request

    ImageAids::Histogram m_histogram;
    QImage m_clippingMask;
    QImage m_peakingMask;

    // Last, so it is destroyed first: the worker is done before any member it touches goes.
    QThreadPool m_pool;
};
