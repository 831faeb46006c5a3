#include "QuitGuard.h"

#include "model/Logging.h"

QuitGuard::QuitGuard(Monitor &monitor, QObject *parent)
    : QObject(parent)
    , m_monitor(monitor)
{
}

QString QuitGuard::messageFor(int unsavedCount)
{
    if (unsavedCount == 1)
        return QStringLiteral("1 foto no se ha guardado en la carpeta de capturas y se perderá si sales.");
    return QStringLiteral("%1 fotos no se han guardado en la carpeta de capturas y se perderán si sales.")
        .arg(unsavedCount);
}

bool QuitGuard::mayQuit()
{
    if (m_confirmed)
        return true;
    updateCount();
    settleSave();
    if (m_confirmed)
        return true;
    if (m_unsavedCount == 0 && !m_saving && !m_choosing) {
        confirm();
        return true;
    }
    // Only writes under way: their outcome decides (quit once they are on disk, else ask).
    if (!m_saving && !m_choosing && m_monitor.store().memoryOnlyCount() == 0) {
        setState(false, true);
        return false;
    }
    if (!m_saving && !m_choosing) {
        qCInfo(lcUi) << "quit requested with" << m_unsavedCount << "photos not stored: asking before quitting";
        setState(true, false);
    }
    return false;
}

void QuitGuard::chooseFolder()
{
    m_choosing = true;
    setState(false, false);
    m_monitor.chooseFolder();
}

void QuitGuard::folderChosen()
{
    if (!m_choosing)
        return;
    m_choosing = false;
    setState(false, true);
    updateCount();
    settleSave();
}

void QuitGuard::quitWithoutSaving()
{
    setState(false, false);
    confirm();
}

void QuitGuard::cancel()
{
    m_choosing = false;
    setState(false, false);
}

void QuitGuard::folderChoiceCancelled()
{
    if (!m_choosing)
        return;
    m_choosing = false;
    setState(true, false);
}

void QuitGuard::refresh()
{
    // Only the question on screen and a save under way need the counts; every other change
    // (a live frame among them) costs nothing here.
    if (!m_asking && !m_saving)
        return;
    updateCount();
    settleSave();
}

void QuitGuard::updateCount()
{
    // A photo being written from memory right now is not safe yet: its write may fail.
    const int unsaved = m_monitor.store().memoryOnlyCount() + m_monitor.store().memoryWritesInFlight();
    if (unsaved != m_unsavedCount) {
        m_unsavedCount = unsaved;
        emit changed();
    }
}

void QuitGuard::settleSave()
{
    if (!m_saving || m_monitor.store().memoryWritesInFlight() > 0)
        return;
    // Every write handed over since the folder was chosen has finished.
    if (m_unsavedCount == 0)
        confirm();
    else
        setState(true, false); // the chosen folder failed too: ask again
}

void QuitGuard::confirm()
{
    if (m_confirmed)
        return;
    m_confirmed = true;
    setState(false, false);
    emit quitConfirmed();
}

void QuitGuard::setState(bool asking, bool saving)
{
    if (asking == m_asking && saving == m_saving)
        return;
    m_asking = asking;
    m_saving = saving;
    emit changed();
}
