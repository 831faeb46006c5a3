#pragma once

#include <QDBusPendingCallWatcher>
#include <QDBusServiceWatcher>
#include <QObject>
#include <QPointer>
#include <QUrl>
#include <QWindow>
#include <QtQml/qqmlregistration.h>

// Asks the desktop for the capture folder through the file chooser of the desktop portal
// (org.freedesktop.portal.FileChooser on the session bus), which draws the desktop's own
// dialog. Whether the portal is there is decided anew for each request: when it is not on the
// bus, or the call fails, inWindowRequested() asks the window for its own chooser instead.
class FolderChooser : public QObject
{
    Q_OBJECT
    QML_ELEMENT

    // The window the desktop's dialog belongs to (named to the portal on X11); may be null.
    Q_PROPERTY(QWindow *window READ window WRITE setWindow NOTIFY windowChanged)
    // The last request went to the portal.
    Q_PROPERTY(bool portalUsed READ portalUsed NOTIFY portalUsedChanged)

public:
    using QObject::QObject;
    ~FolderChooser() override;

    [[nodiscard]] QWindow *window() const { return m_window; }
    void setWindow(QWindow *window);
    [[nodiscard]] bool portalUsed() const { return m_portalUsed; }

    // Shows a chooser for one folder, starting in `startFolder` (a file URL). Exactly one of
    // chosen(), cancelled() or inWindowRequested() follows. One request at a time: while the
    // desktop's dialog is open another request does nothing, and that dialog's answer is the
    // answer to both (a portal that leaves the bus cancels it).
    Q_INVOKABLE void open(const QUrl &startFolder);
    [[nodiscard]] bool busy() const { return !m_requestPath.isEmpty(); }

signals:
    void chosen(const QUrl &folder);
    void cancelled();
    // No portal answers: the window shows its own chooser at `startFolder`.
    void inWindowRequested(const QUrl &startFolder);
    void windowChanged();
    void portalUsedChanged();

private slots:
    void handleResponse(uint response, const QVariantMap &results);

private:
    [[nodiscard]] QString parentWindow() const;
    void listen(const QString &requestPath);
    void stopListening();
    void fallBack(const QUrl &startFolder);
    void setPortalUsed(bool used);

    QPointer<QWindow> m_window;
    QString m_requestPath;
    QPointer<QDBusPendingCallWatcher> m_pending;
    QDBusServiceWatcher *m_portalWatcher = nullptr;
    bool m_portalUsed = false;
    int m_requests = 0;
};
