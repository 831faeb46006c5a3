#include "share/ShareService.h"

#include <QFile>
#include <QNetworkInterface>
#include <QSettings>
#include <QStandardPaths>

#include "ingest/ImageDecode.h"
#include "link/ServiceAdvertiser.h"
#include "model/Background.h"
#include "model/Logging.h"
#include "model/MemoryBudget.h"
#include "state/Monitor.h"

using share::ImageShelf;
using share::PhotoEntry;
using share::ShareServer;

namespace {

QByteArray pageBytes()
{
    QFile page(QStringLiteral(":/halvane/share/index.html"));
    return page.open(QIODevice::ReadOnly) ? page.readAll() : QByteArray();
}

// The address a phone on the studio's network reaches: the first IPv4 address of an interface
// that is up and not loopback; loopback when there is none (a workstation off every network).
QString reachableHost()
{
    for (const QNetworkInterface &iface : QNetworkInterface::allInterfaces()) {
        const auto flags = iface.flags();
        if (!flags.testFlag(QNetworkInterface::IsUp) || !flags.testFlag(QNetworkInterface::IsRunning)
            || flags.testFlag(QNetworkInterface::IsLoopBack))
            continue;
        for (const QNetworkAddressEntry &entry : iface.addressEntries()) {
            if (entry.ip().protocol() == QAbstractSocket::IPv4Protocol)
                return entry.ip().toString();
        }
    }
    return QStringLiteral("127.0.0.1");
}

} // namespace

ShareService::ShareService(Monitor &monitor, const QString &cacheRoot, QObject *parent)
    : QObject(parent)
    , m_monitor(monitor)
    , m_cacheRoot(cacheRoot.isEmpty() ? QStandardPaths::writableLocation(QStandardPaths::CacheLocation)
                  + QStringLiteral("/client-view")
                                      : cacheRoot)
    , m_downloads(monitor.settings().value(QLatin1String(kDownloadsKey), false).toBool())
{
    m_thread.setObjectName(QStringLiteral("client view"));
    // The server gives way to the window and to the store's writes whenever they want a core.
    connect(
        &m_thread, &QThread::started, this, [] { background::yieldToWindow(kServerNiceness); },
        Qt::DirectConnection);
    m_encoder.setMaxThreadCount(1);
}

// Quitting is not switching off: the setting stays as the user left it.
ShareService::~ShareService()
{
    if (isOn())
        stop();
    m_encoder.clear();
    m_encoder.waitForDone();
}

template <typename F> void ShareService::toServer(F &&f)
{
    if (m_server)
        QMetaObject::invokeMethod(m_server, std::forward<F>(f), Qt::QueuedConnection);
}

void ShareService::restore()
{
    if (m_monitor.settings().value(QLatin1String(kOnKey), false).toBool())
        setOn(true);
}

void ShareService::setOn(bool on)
{
    if (on == isOn())
        return;
    m_monitor.settings().setValue(QLatin1String(kOnKey), on);
    m_monitor.settings().sync();
    if (on)
        start();
    else
        stop();
}

void ShareService::stop()
{
    // Work of the session that ends is dropped, where it is or when it comes back.
    ++*m_generation;
    m_making = false;
    disconnect(m_following);
    m_advertiser.reset();
    // Every connection is closed before this returns.
    ShareServer *server = m_server;
    m_server = nullptr;
    QMetaObject::invokeMethod(
        server, [server] { delete server; }, Qt::BlockingQueuedConnection);
    m_thread.quit();
    m_thread.wait();
    m_queue.clear();
    m_queued.clear();
    m_address.clear();
    m_viewers = 0;
    qCInfo(lcShare) << "client view off";
    emit changed();
}

void ShareService::start()
{
    ++*m_generation;
    m_making = false;
    if (!m_shelf) {
        m_shelf = std::make_shared<ImageShelf>(m_cacheRoot);
        // Before any image is made, and away from the window.
        m_encoder.start([shelf = m_shelf] {
            background::yieldToWindow(kEncoderNiceness);
            shelf->removeEarlierRuns();
        });
    }
    // One code for the run: a browser that has it keeps its session across switching.
    if (!m_gate)
        m_gate = std::make_shared<share::AccessGate>(share::AccessGate::randomCode());
    m_server = new ShareServer(m_shelf, m_gate, pageBytes());
    m_server->setDownloads(m_downloads);
    m_server->moveToThread(&m_thread);
    m_thread.start();
    const int generation = *m_generation;
    connect(m_server, &ShareServer::listening, this, [this, generation](quint16 port) {
        if (generation != *m_generation || port == 0)
            return;
        m_port = port;
        m_monitor.settings().setValue(QLatin1String(kPortKey), port);
        m_address = QStringLiteral("http://%1:%2/").arg(reachableHost()).arg(port);
        m_advertiser = std::make_unique<ServiceAdvertiser>(ServiceAdvertiser::workstationServiceName(), port);
        m_advertiser->setServiceType(kServiceType);
        m_advertiser->start();
        emit changed();
    });
    connect(m_server, &ShareServer::imagesWanted, this, [this, generation](const QUuid &id) {
        if (generation == *m_generation)
            want(id, false);
    });
    connect(m_server, &ShareServer::viewersChanged, this, [this, generation](int count) {
        if (generation != *m_generation)
            return;
        m_viewers = count;
        emit changed();
    });
    // The catalogue so far (its images made when asked for), then every change as it comes
    // (the new photos' images made at once).
    follow(false);
    QList<PhotoEntry> entries;
    QList<QUuid> ready, failed;
    for (const Known &known : std::as_const(m_known)) {
        entries.append(known.entry);
        if (const auto it = m_made.constFind(known.entry.id); it != m_made.cend())
            (*it ? ready : failed).append(known.entry.id);
    }
    ShareServer *server = m_server;
    const auto preferred = quint16(m_monitor.settings().value(QLatin1String(kPortKey), 0).toUInt());
    toServer([server, entries, ready, failed, preferred] {
        server->setPhotos(entries, ready, failed);
        server->listen(preferred);
    });
    m_following = connect(&m_monitor, &Monitor::objectWillChange, this, [this] { follow(true); });
    m_cardShown = true;
    qCInfo(lcShare) << "client view on";
    emit changed();
}

void ShareService::setDownloadsAllowed(bool allowed)
{
    if (allowed == m_downloads)
        return;
    m_downloads = allowed;
    m_monitor.settings().setValue(QLatin1String(kDownloadsKey), allowed);
    m_monitor.settings().sync();
    ShareServer *server = m_server;
    toServer([server, allowed] { server->setDownloads(allowed); });
    emit changed();
}

void ShareService::setCardShown(bool shown)
{
    if (shown == m_cardShown)
        return;
    m_cardShown = shown;
    emit changed();
}

qint64 ShareService::bytesHeld() const
{
    return m_shelf ? m_shelf->bytesHeld() : 0;
}

qint64 ShareService::bytesSent() const
{
    return m_server ? m_server->bytesSent() : 0;
}

const CapturedPhoto &ShareService::photoOf(const Known &known) const
{
    return m_monitor.cameras().at(known.camera)->photos.at(known.at);
}

PhotoEntry ShareService::entryOf(const Known &known, const CapturedPhoto &photo) const
{
    PhotoEntry entry = known.entry;
    entry.shutter = photo.shutter;
    entry.aperture = photo.aperture;
    entry.iso = photo.iso;
    entry.storedPath = photo.isStored() ? photo.storedPath : QString();
    return entry;
}

// After every change of the Monitor: photos listed since the last look are announced (and their
// images made, newest first), and those whose texts or file were still on their way are told
// again once they have settled. Only the new and the unsettled photos are looked at.
void ShareService::follow(bool eager)
{
    ShareServer *server = m_server;
    const auto &cameras = m_monitor.cameras();
    m_seenPerCamera.resize(cameras.size());
    for (qsizetype c = 0; c < cameras.size(); ++c) {
        const CameraConnection *cam = cameras.at(c).get();
        qsizetype &seen = m_seenPerCamera[c];
        for (; seen < cam->photos.size(); ++seen) {
            const CapturedPhoto &photo = cam->photos.at(seen);
            Known known { c, seen, {} };
            known.entry.id = photo.id();
            known.entry.number = int(m_known.size()) + 1;
            known.entry.name = photo.filename;
            known.entry.camera = cam->name;
            known.entry = entryOf(known, photo);
            m_index.insert(photo.id(), m_known.size());
            m_unsettled.append(m_known.size());
            m_known.append(known);
            toServer([server, entry = known.entry] { server->addPhoto(entry); });
            if (eager)
                want(photo.id(), true);
        }
    }
    const bool allBuilt = m_monitor.buildsInFlight() == 0;
    m_unsettled.removeIf([&](qsizetype index) {
        Known &known = m_known[index];
        const CapturedPhoto &photo = photoOf(known);
        const PhotoEntry now = entryOf(known, photo);
        if (now.shutter != known.entry.shutter || now.aperture != known.entry.aperture
            || now.iso != known.entry.iso || now.storedPath != known.entry.storedPath) {
            known.entry = now;
            toServer([server, now] { server->updatePhoto(now); });
        }
        const bool built = allBuilt || photo.width > 0;
        return built && photo.storage != CapturedPhoto::Storage::Writing;
    });
}

// Queues the making of a photo's images: a new photo goes first (viewers are waiting for it),
// one a browser asks for after those.
void ShareService::want(const QUuid &id, bool first)
{
    if (const auto it = m_made.constFind(id); it != m_made.cend()) {
        const bool ok = *it;
        if (!ok || m_shelf->has(id)) {
            ShareServer *server = m_server;
            toServer([server, id, ok] { server->imagesDone(id, ok); });
            return;
        }
        m_made.erase(it); // let go for newer photos' images: made again
    }
    if (m_queued.contains(id))
        return;
    m_queued.insert(id);
    if (first)
        m_queue.push_front(id);
    else
        m_queue.push_back(id);
    makeNext();
}

// One photo at a time: the encoder never holds more than one photo decoded, and when the window's
// decoding thread is borrowed, the viewer's own requests wait behind one of these at most.
void ShareService::makeNext()
{
    if (m_making || m_queue.empty() || !isOn())
        return;
    const QUuid id = m_queue.front();
    m_queue.pop_front();
    m_queued.remove(id);
    const auto at = m_index.constFind(id);
    const CapturedPhoto *photo = at == m_index.cend() ? nullptr : &photoOf(m_known.at(*at));
    m_making = true;
    // From the photo's bytes where they are now (read on the encoder's thread), else from the
    // window's own preview decode.
    if (auto read = photo && photo->preview ? photo->preview->bytesReader() : nullptr)
        return encode(id, {}, std::move(read), photo->filename);
    if (!photo || !photo->preview) {
        m_making = false;
        made(id, false);
        return makeNext();
    }
    const int generation = *m_generation;
    const std::shared_ptr<std::atomic<int>> current = m_generation;
    photo->preview->requestImage(
        this, QSize(share::kPreviewSide, share::kPreviewSide),
        [current, generation] { return current->load() == generation; },
        [this, id, generation](const QImage &image, bool) {
            if (generation == *m_generation) // else of an earlier session
                encode(id, image, {}, {});
        });
}

// Decodes (unless `image` is given) and encodes the two images on the encoder's thread, then
// reports them on this one and goes on with the next photo.
void ShareService::encode(
    const QUuid &id, const QImage &image, std::function<QByteArray()> read, const QString &name)
{
    const int generation = *m_generation;
    const std::shared_ptr<ImageShelf> shelf = m_shelf;
    m_encoder.start([this, shelf, image, read = std::move(read), name, id, generation] {
        background::yieldToWindow(kEncoderNiceness);
        QImage picture = image;
        if (picture.isNull()) {
            const QByteArray bytes = read();
            // The photo's bytes are held only while its images are made from them.
            const MemoryBudget::Charge readBack(MemoryBudget::Part::ReadBack, bytes.size());
            picture = decodeForView(bytes, name, QSize(share::kPreviewSide, share::kPreviewSide)).image;
        }
        const QByteArray preview = share::encodeJpeg(picture, share::kPreviewSide);
        const QByteArray thumb = preview.isEmpty()
            ? QByteArray()
            : share::encodeJpeg(
                picture.scaled(share::kThumbSide * 2, share::kThumbSide * 2, Qt::KeepAspectRatio),
                share::kThumbSide);
        const bool ok = !preview.isEmpty() && !thumb.isEmpty();
        if (ok) {
            shelf->put(id, share::ImageKind::Preview, preview);
            shelf->put(id, share::ImageKind::Thumb, thumb);
        }
        QMetaObject::invokeMethod(
            this,
            [this, id, ok, generation] {
                if (generation != *m_generation)
                    return;
                m_making = false;
                made(id, ok);
                makeNext();
            },
            Qt::QueuedConnection);
    });
}

void ShareService::made(const QUuid &id, bool ok)
{
    m_made.insert(id, ok);
    ShareServer *server = m_server;
    toServer([server, id, ok] { server->imagesDone(id, ok); });
}
