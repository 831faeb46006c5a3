#pragma once

#include <QObject>
#include <QtQml/qqmlregistration.h>

#include "CameraListModel.h"
#include "DirectorModel.h"
#include "FileActions.h"
#include "KeyCommands.h"
#include "PhotoDetails.h"
#include "QuitGuard.h"
#include "ThumbnailModel.h"
#include "ViewerAids.h"
#include "ViewOptions.h"
#include "ViewerSource.h"
#include "state/Monitor.h"

// Everything the window shows that is derived from the Monitor, in one object the shell creates
// once and hands to every view: which body is shown, the toolbar's camera selector, the selected
// photo's details, the viewer's source, the list models of the strip, the popover and the
// director sidebar, the quit guard, the file menu's actions, the aids computed from the viewer's
// image and the keys. It follows the Monitor's one change signal and brings each part up to date
// in turn; it also carries the user's actions to the Monitor, so the QML holds no logic of its own.
class WindowState : public QObject
{
    Q_OBJECT
    QML_ELEMENT
    QML_UNCREATABLE("The shell creates the one WindowState")

    // For the published members the views bind to directly (director mode, folder name, popover).
    Q_PROPERTY(Monitor *monitor READ monitor CONSTANT)
    // No camera, or an active camera without signal and without photos: the empty body.
    Q_PROPERTY(bool bodyEmpty READ bodyEmpty NOTIFY changed)
    Q_PROPERTY(bool hasActiveCamera READ hasActiveCamera NOTIFY changed)
    Q_PROPERTY(QString cameraTitle READ cameraTitle NOTIFY changed)
    Q_PROPERTY(QString photoCountText READ photoCountText NOTIFY changed)
    // What the window tells once after photos of an earlier run were recovered; empty otherwise.
    Q_PROPERTY(QString recoveryText READ recoveryText NOTIFY changed)

    Q_PROPERTY(PhotoDetails *details READ details CONSTANT)
    Q_PROPERTY(ViewerSource *viewer READ viewer CONSTANT)
    Q_PROPERTY(ThumbnailModel *thumbnails READ thumbnails CONSTANT)
    Q_PROPERTY(CameraListModel *cameras READ cameras CONSTANT)
    Q_PROPERTY(DirectorModel *params READ params CONSTANT)
    Q_PROPERTY(QuitGuard *quitGuard READ quitGuard CONSTANT)
    Q_PROPERTY(ViewOptions *viewOptions READ viewOptions CONSTANT)
    Q_PROPERTY(FileActions *files READ files CONSTANT)
    Q_PROPERTY(ViewerAids *aids READ aids CONSTANT)
    Q_PROPERTY(KeyCommands *keys READ keys CONSTANT)
    // The client view, when the shell has one (null in tests of the window alone).
    Q_PROPERTY(ShareService *share READ share NOTIFY shareChanged)

public:
    // `monitor` must outlive this object.
    explicit WindowState(Monitor &monitor, QObject *parent = nullptr);

    [[nodiscard]] Monitor *monitor() const { return &m_monitor; }
    [[nodiscard]] bool bodyEmpty() const { return m_bodyEmpty; }
    [[nodiscard]] bool hasActiveCamera() const { return m_hasActiveCamera; }
    [[nodiscard]] QString cameraTitle() const { return m_cameraTitle; }
    [[nodiscard]] QString photoCountText() const { return m_photoCountText; }
    [[nodiscard]] QString recoveryText() const { return m_recoveryText; }
    [[nodiscard]] static QString recoveryTextFor(int count, const QString &folder);

    [[nodiscard]] PhotoDetails *details() { return &m_details; }
    [[nodiscard]] ViewerSource *viewer() { return &m_viewer; }
    [[nodiscard]] ThumbnailModel *thumbnails() { return &m_thumbnails; }
    [[nodiscard]] CameraListModel *cameras() { return &m_cameras; }
    [[nodiscard]] DirectorModel *params() { return &m_params; }
    [[nodiscard]] QuitGuard *quitGuard() { return &m_quitGuard; }
    [[nodiscard]] ViewOptions *viewOptions() { return &m_viewOptions; }
    [[nodiscard]] FileActions *files() { return &m_files; }
    [[nodiscard]] ViewerAids *aids() { return &m_aids; }
    [[nodiscard]] KeyCommands *keys() { return &m_keys; }
    [[nodiscard]] ShareService *share() const { return m_share; }
    // `share` must outlive this object.
    void setShare(ShareService *share);

    Q_INVOKABLE void selectPhoto(const QString &photoId);
    Q_INVOKABLE void selectCamera(const QString &cameraId);
    Q_INVOKABLE void toggleEnabled(const QString &cameraId);
    Q_INVOKABLE void toggleDirectorMode();
    Q_INVOKABLE void triggerShutter();
    Q_INVOKABLE void chooseFolder();
    Q_INVOKABLE void dismissRecovery();

signals:
    void changed();
    void shareChanged();

private:
    void refresh();
    [[nodiscard]] CameraConnection *camera(const QString &cameraId) const;

    Monitor &m_monitor;
    bool m_bodyEmpty = true;
    bool m_hasActiveCamera = false;
    QString m_cameraTitle;
    QString m_photoCountText;
    QString m_recoveryText;

    PhotoDetails m_details;
    ViewerSource m_viewer;
    ThumbnailModel m_thumbnails;
    CameraListModel m_cameras;
    DirectorModel m_params;
    QuitGuard m_quitGuard;
    ViewOptions m_viewOptions;
    FileActions m_files;
    ViewerAids m_aids;
    KeyCommands m_keys;
    ShareService *m_share = nullptr;
};
