#include "WindowState.h"

WindowState::WindowState(Monitor &monitor, QObject *parent)
    : QObject(parent)
    , m_monitor(monitor)
    , m_viewer(monitor)
    , m_thumbnails(monitor)
    , m_cameras(monitor)
    , m_params(monitor)
    , m_quitGuard(monitor)
    , m_viewOptions(monitor.settings())
    , m_files(monitor)
    , m_keys(monitor, m_quitGuard, m_viewOptions, m_viewer)
{
    // The question may be asked without any change of the Monitor.
    connect(&m_quitGuard, &QuitGuard::changed, &m_keys, &KeyCommands::refresh);
    connect(&m_monitor, &Monitor::objectWillChange, this, &WindowState::refresh);
    // A live frame concerns the viewer alone: no photo rescanned, no camera row marked changed.
    connect(&m_monitor, &Monitor::liveFrameChanged, &m_viewer, &ViewerSource::refresh);
    // The aids follow the viewer's image (it repeats an unchanged one, which they ignore) and the
    // options.
    connect(&m_viewer, &ViewerSource::changed, &m_aids, [this] {
        m_aids.show(m_viewer.image(), m_viewer.identity(), m_monitor.directorModeOn());
    });
    auto options = [this] { m_aids.setOptions(m_viewOptions.clipping(), m_viewOptions.peaking()); };
    connect(&m_viewOptions, &ViewOptions::changed, &m_aids, options);
    options();
    refresh();
}

void WindowState::refresh()
{
    const CameraConnection *cam = m_monitor.activeCamera();
    m_bodyEmpty = !cam || (cam->status == CameraStatus::NoSignal && cam->photos.isEmpty());
    m_hasActiveCamera = cam != nullptr;
    m_cameraTitle = cam ? cam->name : QStringLiteral("Sin cámara");
    m_photoCountText = cam ? QString::number(cam->photos.size()) : QString();
    m_recoveryText = recoveryTextFor(m_monitor.recoveredCount(), m_monitor.recoveredFolder());
    emit changed();

    m_details.show(m_monitor.selectedPhoto());
    m_viewer.refresh();
    m_thumbnails.refresh();
    m_cameras.refresh();
    m_params.refresh();
    m_files.refresh();
    m_keys.refresh();
    // Last: it may confirm quitting, after which nothing else needs to follow.
    m_quitGuard.refresh();
}

CameraConnection *WindowState::camera(const QString &cameraId) const
{
    return m_monitor.camera(QUuid(cameraId));
}

void WindowState::selectPhoto(const QString &photoId)
{
    m_monitor.setSelectedPhotoId(QUuid(photoId));
}

void WindowState::selectCamera(const QString &cameraId)
{
    if (CameraConnection *cam = camera(cameraId))
        m_monitor.selectCamera(*cam);
}

void WindowState::toggleEnabled(const QString &cameraId)
{
    if (CameraConnection *cam = camera(cameraId))
        m_monitor.toggleEnabled(*cam);
}

void WindowState::toggleDirectorMode()
{
    m_monitor.toggleDirectorMode();
}

void WindowState::triggerShutter()
{
    m_monitor.triggerShutter();
}

void WindowState::chooseFolder()
{
    m_monitor.chooseFolder();
}

QString WindowState::recoveryTextFor(int count, const QString &folder)
{
    if (count <= 0)
        return {};
    if (count == 1)
        return QStringLiteral("Se ha recuperado 1 foto de la sesión anterior que no se había guardado. "
                              "Está en la carpeta de capturas: %1")
            .arg(folder);
    return QStringLiteral("Se han recuperado %1 fotos de la sesión anterior que no se habían guardado. "
                          "Están en la carpeta de capturas: %2")
        .arg(count)
        .arg(folder);
}

void WindowState::dismissRecovery()
{
    m_monitor.dismissRecovered();
}

void WindowState::setShare(ShareService *share)
{
    m_share = share;
    m_keys.setShare(share);
    emit shareChanged();
}
