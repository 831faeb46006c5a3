#pragma once

#include <QObject>
#include <QUrl>
#include <QUuid>
#include <QtQml/qqmlregistration.h>

#include <functional>

#include "state/Monitor.h"

// What the file menu of a tile and of the viewer does with a photo's file: shows it in the
// desktop's file manager, selected (org.freedesktop.FileManager1.ShowItems on the session bus),
// or opens it in the desktop's default application. Both apply only once the file is stored in
// the capture folder. When no file manager answers, its folder is opened instead. The file
// manager is called asynchronously, so a hung one never holds up the window. Part of
// WindowState, which refreshes it after every Monitor change.
class FileActions : public QObject
{
    Q_OBJECT
    QML_ELEMENT
    QML_UNCREATABLE("Part of WindowState")

    // The photo the menu is about has its file in the capture folder.
    Q_PROPERTY(bool available READ available NOTIFY availableChanged)

public:
    // Hands a URL to the desktop; false when nothing could open it.
    using UrlOpener = std::function<bool(const QUrl &)>;

    explicit FileActions(const Monitor &monitor, QObject *parent = nullptr);

    // Follows the Monitor: called after each of its changes.
    void refresh();
    [[nodiscard]] bool available() const { return m_available; }

    // The menu opens for a tile's photo (of the active camera), or for what the viewer shows:
    // the selected photo, and no file at all in live view.
    Q_INVOKABLE void aimAtPhoto(const QString &photoId);
    Q_INVOKABLE void aimAtViewer();
    // On the aimed photo's file; nothing while it is not stored.
    Q_INVOKABLE void showInFolder();
    Q_INVOKABLE void openWithDefault();

    // The same for any file, by its path.
    void showFileInFolder(const QString &path);
    void open(const QUrl &url);

    // QDesktopServices::openUrl unless replaced (tests launch nothing).
    void setUrlOpener(UrlOpener opener) { m_openUrl = std::move(opener); }
    void setReplyTimeout(int milliseconds) { m_replyTimeout = milliseconds; }

signals:
    void availableChanged();

private:
    [[nodiscard]] QString storedPath() const;
    void aim(const QUuid &photoId);
    void openFolderInstead(const QUrl &folder, const QString &why);

    const Monitor &m_monitor;
    QUuid m_photoId;
    bool m_available = false;
    UrlOpener m_openUrl;
    // A file manager started on demand answers within a second or two; one that has not answered
    // after 4 s is taken as hung, and the folder is opened after all.
    int m_replyTimeout = 4000;
    // Without a file manager every use would fail the same way: said once per run.
    bool m_fileManagerFailureLogged = false;
};
