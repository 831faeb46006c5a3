#include "state/Monitor.h"

#include <algorithm>

#include <QDateTime>
#include <QDir>
#include <QFileInfo>
#include <QImage>
#include <QSettings>
#include <QStandardPaths>

#include "ingest/CaptureStorage.h"
#include "ingest/ImageLibraries.h"
#include "ingest/PhotoBuilder.h"
#include "link/InboundMessages.h"
#include "model/Background.h"

#include <utility>

namespace {
// The folder's last path component; the root directory has none and shows as itself.
QString lastComponent(const QString &path)
{
    const QString name = QFileInfo(path).fileName();
    return name.isEmpty() ? path : name;
}
} // namespace

// The road of a photo: the listener makes a record per connection and reports each message;
// a file becomes a photo record here (handleFile), its bytes go to the store, and the store's
// storageChanged reports when the file is on disk.
Monitor::Monitor(std::unique_ptr<QSettings> settings, QObject *parent)
    : QObject(parent)
    , m_settings(settings ? std::move(settings) : std::make_unique<QSettings>())
    , m_store(PhotoStore::kDefaultRetryIntervalMs, this)
    , m_link(this)
{
    Listener &listener = m_link.listener();
    connect(&listener, &Listener::cameraAccepted, this, [this](const std::shared_ptr<CameraConnection> &cam) {
        appendCamera(cam);
        if (m_activeCameraId.isNull())
            setActiveCameraId(cam->id());
    });
    connect(&listener, &Listener::listeningChanged, this, [this](bool on) {
        if (m_listening != on)
            setListening(on);
    });
    connect(&listener, &Listener::fileReceived, this,
        [this](const std::shared_ptr<CameraConnection> &cam, const QString &name, const QByteArray &data) {
            handlePhotoMessage(name, data, *cam);
        });
    connect(&listener, &Listener::helloReceived, this,
        [this](const std::shared_ptr<CameraConnection> &cam, const std::optional<QByteArray> &payload) {
            handleHello(payload, *cam);
        });
    connect(&listener, &Listener::stateReceived, this,
        [this](const std::shared_ptr<CameraConnection> &cam, const std::optional<QByteArray> &payload) {
            handleState(payload, *cam);
        });
    connect(&listener, &Listener::liveFrameReceived, this,
        [this](const std::shared_ptr<CameraConnection> &cam, const std::optional<QByteArray> &payload) {
            handleLiveView(payload, *cam);
        });
    connect(&listener, &Listener::connectionLost, this,
        [this](const std::shared_ptr<CameraConnection> &cam) { handleConnectionLost(*cam); });
    connect(&m_store, &PhotoStore::storageChanged, this, &Monitor::applyStorage);
    // Too many photos in memory alone: the cameras wait (in TCP) until the store catches up.
    connect(&m_store, &PhotoStore::hold, &m_link, &CameraLink::setPhotosHeld);
    connect(&m_store, &PhotoStore::folderFailingChanged, this, &Monitor::objectWillChange);
    connect(&m_store, &PhotoStore::recovered, this, [this](int count, const QString &folder) {
        m_recoveredCount = count;
        m_recoveredFolder = folder;
        emit objectWillChange();
    });

    // Qt's process-wide decode limit is set here, before any decoding thread reads it.
    (void)decodedPixelLimit();
    m_builds = std::make_unique<RecordBuilds>(
        this, [this](PreviewCache::Key key) { return m_store.previews().fileSpan(key); },
        [this](const QUuid &cameraId, const QUuid &photoId, const BuiltPhoto &built) {
            fillIn(cameraId, photoId, built);
        });
    restoreFolder();
}

Monitor::~Monitor()
{
    m_builds.reset();
}

// --- Published members and derived values -------------------------------------------------------

// Restores the capture folder stored by setFolder(). The members are assigned directly, so
// the stored entry is never rewritten here, even when the folder has gone missing.
void Monitor::restoreFolder()
{
    const QVariant stored = m_settings->value(QLatin1String(kFolderKey));
    if (!stored.isValid())
        return;
    const QString path = stored.toString();
    m_restoreMissed = !path.isEmpty() && !QFileInfo::exists(path);
    if (path.isEmpty() || m_restoreMissed)
        return;
    m_folder = QDir::cleanPath(path);
    m_folderName = lastComponent(m_folder);
    m_store.setFolder(m_folder);
}

void Monitor::appendCamera(std::shared_ptr<CameraConnection> cam)
{
    m_cameras.append(std::move(cam));
    emit objectWillChange();
}

void Monitor::setActiveCameraId(const QUuid &id)
{
    m_activeCameraId = id;
    emit objectWillChange();
}

void Monitor::setSelectedPhotoId(const QUuid &id)
{
    m_selectedPhotoId = id;
    emit objectWillChange();
}

void Monitor::setDirectorModeOn(bool on)
{
    m_directorModeOn = on;
    emit objectWillChange();
}

void Monitor::setCameraPopoverOpen(bool open)
{
    m_cameraPopoverOpen = open;
    emit objectWillChange();
}

void Monitor::dismissRecovered()
{
    if (m_recoveredCount == 0)
        return;
    m_recoveredCount = 0;
    m_recoveredFolder.clear();
    emit objectWillChange();
}

void Monitor::setListening(bool listening)
{
    m_listening = listening;
    emit objectWillChange();
}

void Monitor::setFolder(const QString &path)
{
    m_folder = path.isEmpty() ? QString() : QDir::cleanPath(path);
    m_restoreMissed = false;
    if (m_folder.isEmpty()) {
        m_settings->remove(QLatin1String(kFolderKey));
        m_folderName = kMissing;
    } else {
        m_settings->setValue(QLatin1String(kFolderKey), m_folder);
        m_folderName = lastComponent(m_folder);
    }
    m_store.setFolder(m_folder);
    m_settings->sync();
    emit objectWillChange();
}

CameraConnection *Monitor::activeCamera() const
{
    if (CameraConnection *cam = camera(m_activeCameraId))
        return cam;
    return m_cameras.isEmpty() ? nullptr : m_cameras.first().get();
}

CameraConnection *Monitor::camera(const QUuid &cameraId) const
{
    if (cameraId.isNull())
        return nullptr;
    const auto cam = std::find_if(
        m_cameras.cbegin(), m_cameras.cend(), [&](const auto &c) { return c->id() == cameraId; });
    return cam == m_cameras.cend() ? nullptr : cam->get();
}

CapturedPhoto *Monitor::photo(const QUuid &cameraId, const QUuid &photoId) const
{
    CameraConnection *cam = camera(cameraId);
    if (!cam)
        return nullptr;
    // Usually one of the newest: look from the end.
    const auto photo = std::find_if(
        cam->photos.rbegin(), cam->photos.rend(), [&](const CapturedPhoto &p) { return p.id() == photoId; });
    return photo == cam->photos.rend() ? nullptr : &*photo;
}

const CapturedPhoto *Monitor::selectedPhoto() const
{
    const CameraConnection *cam = activeCamera();
    if (!cam)
        return nullptr;
    if (const CapturedPhoto *selected = photo(cam->id(), m_selectedPhotoId))
        return selected;
    return cam->photos.isEmpty() ? nullptr : &cam->photos.last();
}

int Monitor::photoCount(CapturedPhoto::Storage storage) const
{
    int count = 0;
    for (const auto &cam : m_cameras)
        count += int(std::count_if(cam->photos.cbegin(), cam->photos.cend(),
            [storage](const CapturedPhoto &photo) { return photo.storage == storage; }));
    return count;
}

// --- Camera link and inbound messages -----------------------------------------------------------

void Monitor::start()
{
    m_link.start();
}

void Monitor::handleHello(const std::optional<QByteArray> &payload, CameraConnection &cam)
{
    const auto name = payload ? inbound::helloName(*payload) : std::nullopt;
    if (!name)
        return;
    cam.name = *name;
    emit objectWillChange();
    takeOverFromLostCamera(cam);
}

void Monitor::handleState(const std::optional<QByteArray> &payload, CameraConnection &cam)
{
    const auto entries = payload ? inbound::stateEntries(*payload) : std::nullopt;
    if (!entries)
        return;
    // All entries of one message land before the single notification.
    for (auto it = entries->cbegin(); it != entries->cend(); ++it)
        cam.paramState.insert(it.key(), it.value());
    emit objectWillChange();
}

void Monitor::handleLiveView(const std::optional<QByteArray> &payload, CameraConnection &cam)
{
    if (!payload || payload->isEmpty())
        return;
    // A bridge that came back sending only live view (director mode) brings its camera forward
    // over a lost one, as a hello or a photo does.
    takeOverFromLostCamera(cam);
    m_liveView.decode(cam.id(), *payload);
}

void Monitor::showLiveFrame(const QUuid &cameraId, const QImage &frame)
{
    CameraConnection *cam = camera(cameraId);
    // A frame decoded while its connection was being lost is not kept.
    if (!cam || cam->status == CameraStatus::NoSignal)
        return;
    background::release(std::exchange(cam->liveFrame, frame));
    m_liveCharges.try_emplace(cameraId, MemoryBudget::Part::Live).first->second.set(frame.sizeInBytes());
    // Over the share, the frames of cameras that are not shown go: a camera sends its next one
    // within a frame's time when it is picked.
    qint64 held = 0;
    for (const auto &[id, charge] : m_liveCharges)
        held += charge.bytes();
    const CameraConnection *shown = activeCamera();
    for (const auto &other : std::as_const(m_cameras)) {
        if (held <= MemoryBudget::kLive)
            break;
        if (other.get() != shown && !other->liveFrame.isNull()) {
            held -= other->liveFrame.sizeInBytes();
            releaseLiveFrame(*other);
        }
    }
    emit liveFrameChanged();
}

void Monitor::releaseLiveFrame(CameraConnection &cam)
{
    background::release(std::exchange(cam.liveFrame, QImage()));
    m_liveCharges.erase(cam.id());
}

void Monitor::handlePhotoMessage(const QString &name, const QByteArray &data, CameraConnection &cam)
{
    // A photo from a camera whose reception is off is dropped, so it does not bring that camera
    // forward either.
    if (cam.enabled)
        takeOverFromLostCamera(cam);
    handleFile(name, data, cam);
}

void Monitor::handleConnectionLost(CameraConnection &cam)
{
    cam.status = CameraStatus::NoSignal;
    // The record keeps its photos and parameters; its live view is over.
    const bool hadFrame = !cam.liveFrame.isNull();
    releaseLiveFrame(cam);
    emit objectWillChange();
    if (hadFrame)
        emit liveFrameChanged();
}

// --- Remote commands ------------------------------------------------------------------------------

void Monitor::activate(const CameraConnection &cam)
{
    setActiveCameraId(cam.id());
    setSelectedPhotoId(QUuid());
}

void Monitor::selectCamera(CameraConnection &cam)
{
    activate(cam);
    CameraLink::requestState(cam);
}

// A camera whose connection is gone would otherwise keep hiding the cameras that do send (a
// bridge that connected and dropped at once, or one that reconnected as a new record). Director
// mode shows the active camera's parameters, so there the new camera is asked for them as when
// the user picks it; outside it nothing is sent, and switching director mode on asks then.
void Monitor::takeOverFromLostCamera(CameraConnection &cam)
{
    const CameraConnection *active = activeCamera();
    if (!active || active == &cam || active->status != CameraStatus::NoSignal)
        return;
    activate(cam);
    if (m_directorModeOn)
        CameraLink::requestState(cam);
}

// Local only: the bridge keeps sending, and storage discards photos while reception is off.
void Monitor::toggleEnabled(CameraConnection &cam)
{
    cam.enabled = !cam.enabled;
    cam.status = cam.enabled ? CameraStatus::Receiving : CameraStatus::Paused;
    emit objectWillChange();
}

void Monitor::toggleDirectorMode()
{
    setDirectorModeOn(!m_directorModeOn);
    if (m_directorModeOn) {
        if (CameraConnection *cam = activeCamera())
            CameraLink::requestState(*cam);
    }
}

void Monitor::triggerShutter()
{
    if (CameraConnection *cam = activeCamera())
        CameraLink::shutter(*cam);
}

// The new value shows at once; the camera's next state frame overwrites it with what the camera
// actually took. No entry is created for a key the camera has not reported.
void Monitor::setParam(const QString &key, qint64 value)
{
    CameraConnection *cam = activeCamera();
    if (!cam)
        return;
    if (auto it = cam->paramState.find(key); it != cam->paramState.end())
        it->current = value;
    emit objectWillChange();
    CameraLink::setParam(*cam, key, value);
}

void Monitor::sendRemoteCommand(const QVariantMap &command, CameraConnection &cam)
{
    CameraLink::send(cam, command);
}

// --- Capture folder and storage -------------------------------------------------------------------

void Monitor::chooseFolder()
{
    // The remembered folder may be on a disk plugged in since the start: the chooser opens there,
    // or at its nearest existing parent, so choosing it again is one click.
    QString start = m_folder.isEmpty() ? m_settings->value(QLatin1String(kFolderKey)).toString() : m_folder;
    while (!start.isEmpty() && !QFileInfo(start).isDir()) {
        const QString parent = QFileInfo(start).path();
        start = parent == start || !QDir::isAbsolutePath(parent) ? QString() : parent;
    }
    if (start.isEmpty())
        start = QStandardPaths::writableLocation(QStandardPaths::PicturesLocation);
    if (start.isEmpty() || !QFileInfo(start).isDir())
        start = QDir::homePath();
    // A file URL, not "file://" + path: names with "#", "?" or "%" stay part of the path.
    emit folderChooserRequested(QUrl::fromLocalFile(start));
}

void Monitor::useChosenFolder(const QUrl &location)
{
    const QString path = location.isLocalFile() ? location.toLocalFile()
        : location.scheme().isEmpty()           ? location.path()
                                                : QString();
    if (path.isEmpty())
        return;
    // An existing directory, or one that cannot be made, is no reason to refuse the choice.
    QDir().mkpath(path);
    setFolder(path);
    m_store.writeWaiting();
}

void Monitor::handleFile(const QString &name, const QByteArray &data, CameraConnection &cam)
{
    if (!cam.enabled)
        return;
    cam.lastActivity = QDateTime::currentDateTime();
    cam.status = CameraStatus::Receiving;

    CapturedPhoto photo = listedPhoto(name, data.size());
    const PreviewCache::Key key = m_store.add(cam.id(), cam.name, photo, data);
    m_selectedPhotoId = photo.id();
    const QUuid cameraId = cam.id(), photoId = photo.id();
    cam.photos.append(std::move(photo));
    emit objectWillChange();

    // Only the bytes (or where they are on disk), the name and plain built values cross
    // threads; the record is filled in here on the main thread, if it is still listed then.
    m_builds->add(cameraId, photoId, name, data, key);
}

void Monitor::fillIn(const QUuid &cameraId, const QUuid &photoId, const BuiltPhoto &built)
{
    if (CapturedPhoto *listed = photo(cameraId, photoId)) {
        applyBuilt(*listed, built, m_thumbnails.get());
        emit objectWillChange();
    }
}

// Applies the store's reports to the records that are still listed, then announces them once.
void Monitor::applyStorage(const QList<PhotoStore::Update> &updates)
{
    for (const PhotoStore::Update &update : updates) {
        if (CapturedPhoto *listed = photo(update.cameraId, update.photoId)) {
            listed->storage = update.storage;
            if (update.storage == CapturedPhoto::Storage::Stored)
                listed->storedPath = update.storedPath;
        }
    }
    // Photos now on disk: queued builds may let their bytes go.
    m_builds->shed();
    emit objectWillChange();
}

QString Monitor::nonClobbering(const QString &dir, const QString &name)
{
    return capture::firstFreePath(dir, name);
}

CapturedPhoto Monitor::buildPhoto(const QString &name, const QByteArray &data)
{
    return ::buildPhoto(name, data);
}
