#pragma once

#include <QObject>
#include <QtQml/qqmlregistration.h>

#include "state/Monitor.h"

// Decides whether the application may end now. A photo that is not stored normally waits in the
// pending folder on disk and is stored on a later run; only when that failed too does it live in
// memory alone. A request to quit (the quit key, the quit menu item, closing the window) while
// any such photo exists first asks the user: choose a folder (the photos are written, then the
// application quits once every one is on disk), quit without saving, or cancel. Nothing is asked
// otherwise. A photo being written from memory counts as unsaved until its write has succeeded:
// with only such writes under way, the request waits for them and then quits, or asks.
// Part of WindowState, which refreshes it after every Monitor change.
class QuitGuard : public QObject
{
    Q_OBJECT
    QML_ELEMENT
    QML_UNCREATABLE("Part of WindowState")

    // The question is on screen.
    Q_PROPERTY(bool asking READ asking NOTIFY changed)
    // A folder was chosen to save into: the application quits once nothing is left unsaved.
    Q_PROPERTY(bool saving READ saving NOTIFY changed)
    Q_PROPERTY(int unsavedCount READ unsavedCount NOTIFY changed)
    // The question's text for unsavedCount photos.
    Q_PROPERTY(QString message READ message NOTIFY changed)

public:
    explicit QuitGuard(Monitor &monitor, QObject *parent = nullptr);

    // Follows the Monitor: called after each of its changes.
    void refresh();

    [[nodiscard]] bool asking() const { return m_asking; }
    [[nodiscard]] bool saving() const { return m_saving; }
    [[nodiscard]] int unsavedCount() const { return m_unsavedCount; }
    [[nodiscard]] QString message() const { return messageFor(m_unsavedCount); }
    [[nodiscard]] static QString messageFor(int unsavedCount);

    // A request to quit: true when nothing would be lost, so the application may end now;
    // otherwise the question is shown and the answer decides.
    Q_INVOKABLE bool mayQuit();
    // The answers.
    Q_INVOKABLE void chooseFolder();
    Q_INVOKABLE void quitWithoutSaving();
    Q_INVOKABLE void cancel();
    // The folder chooser's answer, after chooseFolder(): a folder was taken (the photos are
    // being written into it), or the chooser was closed without one (the question returns).
    Q_INVOKABLE void folderChosen();
    Q_INVOKABLE void folderChoiceCancelled();

signals:
    void changed();
    // The application may end now; the window quits.
    void quitConfirmed();

private:
    void updateCount();
    // After a folder was chosen: quits once every write has finished, or asks again.
    void settleSave();
    void confirm();
    void setState(bool asking, bool saving);

    Monitor &m_monitor;
    bool m_asking = false;
    bool m_saving = false;
    bool m_choosing = false; // the folder chooser is open on the question's behalf
    bool m_confirmed = false;
    int m_unsavedCount = 0;
};
