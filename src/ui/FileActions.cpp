#include "FileActions.h"

#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDesktopServices>
#include <QFileInfo>

#include "model/Logging.h"

FileActions::FileActions(const Monitor &monitor, QObject *parent)
    : QObject(parent)
    , m_monitor(monitor)
    , m_openUrl([](const QUrl &url) { return QDesktopServices::openUrl(url); })
{
}

QString FileActions::storedPath() const
{
    const CameraConnection *cam = m_monitor.activeCamera();
    const CapturedPhoto *photo = cam ? m_monitor.photo(cam->id(), m_photoId) : nullptr;
    return photo && photo->isStored() ? photo->storedPath : QString();
}

void FileActions::refresh()
{
    const bool available = !storedPath().isEmpty();
    if (available == m_available)
        return;
    m_available = available;
    emit availableChanged();
}

void FileActions::aim(const QUuid &photoId)
{
    m_photoId = photoId;
    refresh();
}

void FileActions::aimAtPhoto(const QString &photoId)
{
    aim(QUuid(photoId));
}

void FileActions::aimAtViewer()
{
    const CapturedPhoto *photo = m_monitor.directorModeOn() ? nullptr : m_monitor.selectedPhoto();
    aim(photo ? photo->id() : QUuid());
}

void FileActions::showInFolder()
{
    const QString path = storedPath();
    if (!path.isEmpty())
        showFileInFolder(path);
}

void FileActions::openWithDefault()
{
    const QString path = storedPath();
    if (!path.isEmpty())
        open(QUrl::fromLocalFile(path));
}

void FileActions::showFileInFolder(const QString &path)
{
    const QUrl folder = QUrl::fromLocalFile(QFileInfo(path).absolutePath());
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (!bus.isConnected()) {
        openFolderInstead(folder, bus.lastError().message());
        return;
    }
    QDBusMessage call = QDBusMessage::createMethodCall(
        QStringLiteral("org.freedesktop.FileManager1"), QStringLiteral("/org/freedesktop/FileManager1"),
        QStringLiteral("org.freedesktop.FileManager1"), QStringLiteral("ShowItems"));
    // The file's URI, percent-encoded, and no startup notification id.
    call << QStringList{QUrl::fromLocalFile(path).toString(QUrl::FullyEncoded)} << QString();
    auto *watcher = new QDBusPendingCallWatcher(bus.asyncCall(call, m_replyTimeout), this);
    connect(watcher, &QDBusPendingCallWatcher::finished, this, [this, folder](QDBusPendingCallWatcher *w) {
        w->deleteLater();
        if (w->isError())
            openFolderInstead(folder, w->error().message());
    });
}

void FileActions::openFolderInstead(const QUrl &folder, const QString &why)
{
    if (!m_fileManagerFailureLogged) {
        m_fileManagerFailureLogged = true;
        qCWarning(lcUi).noquote() << "no file manager shows files (" + why + "):"
                                  << "opening their folders instead";
    }
    open(folder);
}

void FileActions::open(const QUrl &url)
{
    if (!m_openUrl(url))
        qCWarning(lcUi).noquote() << "nothing opens" << url.toDisplayString();
}
