#pragma once

#include <QByteArray>
#include <QList>
#include <QObject>
#include <QSettings>
#include <QString>
#include <QThreadPool>
#include <QUrl>
#include <QUuid>
#include <QVariantMap>

#include <map>
#include <memory>
#include <optional>

#include "ingest/PhotoBuilder.h"
#include "ingest/PhotoStore.h"
#include "link/CameraLink.h"
#include "model/CameraConnection.h"
#include "model/CapturedPhoto.h"
#include "state/LiveViewDecoder.h"
#include "state/RecordBuilds.h"

// The one observable state object: the camera records, the active-camera and selected-photo
// choice, the capture folder and the mode flags. Every view observes it.
//
// Change notification: objectWillChange() is emitted after every assignment to a published
// member and whenever code that changed a camera record's fields emits it explicitly. It is
// emitted after the value is in place, so an observer always reads the new state. Main thread
// only; there are no locks.
//
// It owns the two subsystems that act on their own, the camera link and the photo store,
// connects their signals once (in the constructor) and applies what they report to the
// records; the road of a photo from the socket to the record reads in Monitor.cpp.
class Monitor : public QObject
{
    Q_OBJECT
    Q_PROPERTY(bool directorModeOn READ directorModeOn NOTIFY objectWillChange)
    Q_PROPERTY(
        bool cameraPopoverOpen READ cameraPopoverOpen WRITE setCameraPopoverOpen NOTIFY objectWillChange)
    Q_PROPERTY(bool listening READ listening NOTIFY objectWillChange)
    Q_PROPERTY(QString folderName READ folderName NOTIFY objectWillChange)
    Q_PROPERTY(QString folder READ folder NOTIFY objectWillChange)
    Q_PROPERTY(bool folderFailing READ folderFailing NOTIFY objectWillChange)
    Q_PROPERTY(int recoveredCount READ recoveredCount NOTIFY objectWillChange)
    Q_PROPERTY(QString recoveredFolder READ recoveredFolder NOTIFY objectWillChange)

public:
    // The per-user settings key that holds the capture folder's path.
    static constexpr const char *kFolderKey = "halvane.folder";

    // Builds the empty state and restores the capture folder from `settings` (the per-user
    // settings when null). Does not touch the network.
    explicit Monitor(std::unique_ptr<QSettings> settings = {}, QObject *parent = nullptr);
    // Photos still being written are completed first.
    ~Monitor() override;

    // Published members. Each setter emits objectWillChange.
    [[nodiscard]] const QList<std::shared_ptr<CameraConnection>> &cameras() const { return m_cameras; }
    void appendCamera(std::shared_ptr<CameraConnection> cam);

    // A null QUuid means absent.
    [[nodiscard]] QUuid activeCameraId() const { return m_activeCameraId; }
    void setActiveCameraId(const QUuid &id);
    [[nodiscard]] QUuid selectedPhotoId() const { return m_selectedPhotoId; }
    Q_INVOKABLE void setSelectedPhotoId(const QUuid &id);

    [[nodiscard]] bool directorModeOn() const { return m_directorModeOn; }
    void setDirectorModeOn(bool on);
    [[nodiscard]] bool cameraPopoverOpen() const { return m_cameraPopoverOpen; }
    void setCameraPopoverOpen(bool open);
    [[nodiscard]] bool listening() const { return m_listening; }
    void setListening(bool listening);
    [[nodiscard]] QString folderName() const { return m_folderName; }

    // The capture folder's path; empty when absent. Not published by itself, but every
    // assignment also changes folderName.
    [[nodiscard]] QString folder() const { return m_folder; }
    // Assigns the capture folder (empty = absent) and runs the folder change steps: the path
    // is stored under kFolderKey (removed when absent) and folderName follows.
    void setFolder(const QString &path);
    // The capture folder does not take photos now: its last write failed (missing, full,
    // read-only), or the remembered one was not there at start and none is chosen since.
    // Photos wait in the pending folder meanwhile.
    [[nodiscard]] bool folderFailing() const { return m_store.folderFailing() || (m_folder.isEmpty() && m_restoreMissed); }

    // Derived members, resolved on every read.
    [[nodiscard]] CameraConnection *activeCamera() const;
    [[nodiscard]] const CapturedPhoto *selectedPhoto() const;
    // The listed camera with this id, and one of its photos; null when not listed.
    [[nodiscard]] CameraConnection *camera(const QUuid &cameraId) const;
    [[nodiscard]] CapturedPhoto *photo(const QUuid &cameraId, const QUuid &photoId) const;
    // Photos of every camera whose file is in the given storage state.
    [[nodiscard]] int photoCount(CapturedPhoto::Storage storage) const;

    // Photos of an earlier run that were waiting in the pending folder and are now stored in
    // recoveredFolder; 0 when there is nothing to tell, or once the user has dismissed it.
    [[nodiscard]] int recoveredCount() const { return m_recoveredCount; }
    [[nodiscard]] QString recoveredFolder() const { return m_recoveredFolder; }
    Q_INVOKABLE void dismissRecovered();

    [[nodiscard]] QSettings &settings() const { return *m_settings; }

    // The photo store; the application gives it its pending folder before start().
    [[nodiscard]] PhotoStore &store() { return m_store; }
    [[nodiscard]] const PhotoStore &store() const { return m_store; }

    // Camera link: listens on every interface, advertises the service, accepts bridges. Only
    // the first successful call has an effect.
    void start();
    [[nodiscard]] CameraLink &link() { return m_link; }

    // Inbound handling, one call per received message. A payload of std::nullopt means the
    // connection ended before the payload was complete.
    void handleHello(const std::optional<QByteArray> &payload, CameraConnection &cam);
    void handleState(const std::optional<QByteArray> &payload, CameraConnection &cam);
    // Live view: the frame is decoded off the main thread, the newest first (LiveViewDecoder);
    // once decoded it becomes the camera's liveFrame and liveFrameChanged is emitted.
    void handleLiveView(const std::optional<QByteArray> &payload, CameraConnection &cam);
    // Live-view frames handed over and not yet shown or dropped.
    [[nodiscard]] bool liveFramesPending() const { return !m_liveView.idle(); }
    // A photo file as it arrived: brings its camera forward over a lost one, then handleFile.
    void handlePhotoMessage(const QString &name, const QByteArray &data, CameraConnection &cam);
    // The connection ended: the record stays, shown as lost.
    void handleConnectionLost(CameraConnection &cam);

    // Remote commands.
    void selectCamera(CameraConnection &cam);
    // Makes `cam` the active camera when the active one has lost its connection (noSignal);
    // does nothing while the active camera is receiving or paused. Inbound handling calls it
    // when a camera introduces itself or sends a photo it keeps.
    void takeOverFromLostCamera(CameraConnection &cam);
    void toggleEnabled(CameraConnection &cam);
    void toggleDirectorMode();
    void triggerShutter();
    void setParam(const QString &key, qint64 value);
    void sendRemoteCommand(const QVariantMap &command, CameraConnection &cam);

    // Capture folder and storage.
    // Asks the window to let the user pick the capture folder (folderChooserRequested); the
    // window answers an OK with useChosenFolder().
    Q_INVOKABLE void chooseFolder();
    // The folder chooser's OK: creates the directory (errors ignored), makes it the capture
    // folder and writes into it the photos that are not stored yet.
    Q_INVOKABLE void useChosenFolder(const QUrl &location);
    // Lists the photo at once (name, size, format, placeholders) and selects it; its bytes go to
    // the store at once; its metadata texts and thumbnail are built off the main thread and
    // filled in (with objectWillChange) when they are ready.
    void handleFile(const QString &name, const QByteArray &data, CameraConnection &cam);
    // The photos' thumbnails, within their share of the memory budget.
    [[nodiscard]] ThumbnailStore &thumbnails() const { return *m_thumbnails; }
    // Photos whose texts and thumbnail are still being built.
    [[nodiscard]] int buildsInFlight() const { return m_builds->inFlight(); }
    [[nodiscard]] RecordBuilds &builds() { return *m_builds; }
    [[nodiscard]] static QString nonClobbering(const QString &dir, const QString &name);
    [[nodiscard]] static CapturedPhoto buildPhoto(const QString &name, const QByteArray &data);

signals:
    void objectWillChange();
    // A camera's liveFrame changed. Emitted instead of objectWillChange: a frame changes nothing
    // else, and comes up to sixty times a second.
    void liveFrameChanged();
    // Show the folder chooser, opened at `startFolder`: the capture folder, else the remembered
    // one or its nearest existing parent, else the user's pictures folder.
    void folderChooserRequested(const QUrl &startFolder);

private:
    void restoreFolder();
    // Makes `cam` the active camera with its newest photo selected.
    void activate(const CameraConnection &cam);
    void applyStorage(const QList<PhotoStore::Update> &updates);
    // A photo's built texts and thumbnail into its record; nothing when the record is gone.
    void fillIn(const QUuid &cameraId, const QUuid &photoId, const BuiltPhoto &built);
    void showLiveFrame(const QUuid &cameraId, const QImage &frame);
    void releaseLiveFrame(CameraConnection &cam);

    std::unique_ptr<QSettings> m_settings;
    QList<std::shared_ptr<CameraConnection>> m_cameras;
    QUuid m_activeCameraId;
    QUuid m_selectedPhotoId;
    bool m_directorModeOn = false;
    bool m_cameraPopoverOpen = false;
    bool m_listening = false;
    QString m_folderName = kMissing;
    QString m_folder;
    bool m_restoreMissed = false; // a folder was remembered but did not exist at start
    int m_recoveredCount = 0;
    QString m_recoveredFolder;
    PhotoStore m_store;
    // Builds the photo records' texts and thumbnails; destroyed before the store whose files
    // it reads.
    std::unique_ptr<RecordBuilds> m_builds;
    // The live frames the records hold, in the budget's Live part.
    std::map<QUuid, MemoryBudget::Charge> m_liveCharges;
    // Thumbnails dropped from memory are rebuilt from the photo's bytes, as a record build does.
    std::shared_ptr<ThumbnailStore> m_thumbnails = ThumbnailStore::create(buildThumbnail);
    // Destroyed before the camera records its frames go to.
    LiveViewDecoder m_liveView{[this](const QUuid &cameraId, const QImage &frame) { showLiveFrame(cameraId, frame); }};
    // Declared last, so destroyed first: no message arrives while the rest is torn down.
    CameraLink m_link;
};
