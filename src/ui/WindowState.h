#pragma once

#include <QObject>
#include <QPointer>
#include <QtQml/qqmlregistration.h>

#include "state/Monitor.h"

// What the window's frame shows, derived from the Monitor on every change: which body is shown
// and the toolbar's camera selector. It also carries the user's actions to the Monitor, so the
// QML holds no logic of its own. Cheap: any view that needs it makes its own.
class WindowState : public QObject
{
    Q_OBJECT
    QML_ELEMENT

    Q_PROPERTY(Monitor *monitor READ monitor WRITE setMonitor NOTIFY monitorChanged REQUIRED)
    // No camera, or an active camera without signal and without photos: the empty body.
    Q_PROPERTY(bool bodyEmpty READ bodyEmpty NOTIFY changed)
    Q_PROPERTY(bool hasActiveCamera READ hasActiveCamera NOTIFY changed)
    Q_PROPERTY(QString cameraTitle READ cameraTitle NOTIFY changed)
    Q_PROPERTY(QString photoCountText READ photoCountText NOTIFY changed)

public:
    explicit WindowState(QObject *parent = nullptr);

    [[nodiscard]] Monitor *monitor() const { return m_monitor; }
    void setMonitor(Monitor *monitor);

    [[nodiscard]] bool bodyEmpty() const { return m_bodyEmpty; }
    [[nodiscard]] bool hasActiveCamera() const { return m_hasActiveCamera; }
    [[nodiscard]] QString cameraTitle() const { return m_cameraTitle; }
    [[nodiscard]] QString photoCountText() const { return m_photoCountText; }

    // The body rule on its own, for the window and its tests.
    [[nodiscard]] static bool isBodyEmpty(const CameraConnection *activeCamera);

    Q_INVOKABLE void selectPhoto(const QString &photoId);
    Q_INVOKABLE void selectCamera(const QString &cameraId);
    Q_INVOKABLE void toggleEnabled(const QString &cameraId);
    Q_INVOKABLE void toggleDirectorMode();
    Q_INVOKABLE void triggerShutter();
    Q_INVOKABLE void chooseFolder();

signals:
    void monitorChanged();
    void changed();

private:
    void refresh();
    [[nodiscard]] CameraConnection *camera(const QString &cameraId) const;

    QPointer<Monitor> m_monitor;
    bool m_bodyEmpty = true;
    bool m_hasActiveCamera = false;
    QString m_cameraTitle;
    QString m_photoCountText;
};
