#pragma once

#include <QObject>
#include <QPointer>
#include <QQuickItem>
#include <QVariantList>
#include <QtQml/qqmlregistration.h>

#include "QuitGuard.h"
#include "ViewOptions.h"
#include "ViewerSource.h"
#include "share/ShareService.h"
#include "state/Monitor.h"

// The window's keys: what each does, and whether they may fire at all. The window registers
// one shortcut per key in `sequences` and hands each press to trigger(); the actions on the
// Monitor and the view options happen here, the ones on the window (zoom, full screen, strip
// position) are asked for by signal. Keys never fire while the quit question, the recovery
// notice or the camera popover is shown, nor while the focus is in a text field or in any popup
// (the folder chooser, a menu). Part of WindowState, which refreshes it after every change.
class KeyCommands : public QObject
{
    Q_OBJECT
    QML_ELEMENT
    QML_UNCREATABLE("Part of WindowState")

    // The key sequences to register, in portable text ("Left", "Space", "?").
    Q_PROPERTY(QStringList sequences READ sequences CONSTANT)
    // What the keys overlay lists: one {keys, text} entry a line.
    Q_PROPERTY(QVariantList legend READ legend CONSTANT)
    // The window's item with the keyboard focus; the window keeps it current.
    Q_PROPERTY(QQuickItem *focusItem READ focusItem WRITE setFocusItem NOTIFY changed)
    // The window is full screen; the window keeps it current.
    Q_PROPERTY(bool fullScreen READ fullScreen WRITE setFullScreen NOTIFY changed)
    Q_PROPERTY(bool enabled READ enabled NOTIFY changed)
    // Escape is taken only when it has something to close here, so that it still reaches the
    // popups that close with it.
    Q_PROPERTY(bool escapeEnabled READ escapeEnabled NOTIFY changed)
    Q_PROPERTY(bool overlayOpen READ overlayOpen NOTIFY changed)

public:
    KeyCommands(Monitor &monitor, QuitGuard &guard, ViewOptions &options, ViewerSource &viewer,
        QObject *parent = nullptr);

    // Follows the Monitor and the quit guard: called after each of their changes.
    void refresh();

    [[nodiscard]] static QStringList sequences();
    [[nodiscard]] static QVariantList legend();
    [[nodiscard]] QQuickItem *focusItem() const { return m_focusItem; }
    void setFocusItem(QQuickItem *item);
    [[nodiscard]] bool fullScreen() const { return m_fullScreen; }
    void setFullScreen(bool on);
    [[nodiscard]] bool enabled() const { return m_enabled; }
    [[nodiscard]] bool escapeEnabled() const { return m_enabled && (m_overlayOpen || m_fullScreen); }
    [[nodiscard]] bool overlayOpen() const { return m_overlayOpen; }

    // True when the focus is where typed keys belong to something else: a text field, or any
    // item inside a popup.
    [[nodiscard]] static bool focusTakesKeys(const QQuickItem *focus);
    // The strip row (0 is the newest photo, at the leading end) that `key` moves to from `row`
    // in a strip of `rows`; -1 for a key that does not move the selection.
    [[nodiscard]] static int stripRowFor(int key, int row, int rows);

    // The client view the key switches; none (the key does nothing) until the shell sets it.
    void setShare(ShareService *share) { m_share = share; }

    // Does what `key` (a Qt::Key) stands for; false when it did nothing.
    Q_INVOKABLE bool handleKey(int key);
    // The same for one of `sequences`.
    Q_INVOKABLE bool trigger(const QString &sequence);
    Q_INVOKABLE void closeOverlay();

signals:
    void changed();
    void zoomToggled();
    void fullScreenRequested(bool on);
    // The selection moved to this strip row, which should be scrolled into view.
    void stripRowSelected(int row);

private:
    [[nodiscard]] bool stepSelection(int key);
    void setOverlayOpen(bool open);

    Monitor &m_monitor;
    QuitGuard &m_guard;
    ViewOptions &m_options;
    ViewerSource &m_viewer;
    QPointer<QQuickItem> m_focusItem;
    QPointer<ShareService> m_share;
    bool m_fullScreen = false;
    bool m_enabled = true;
    bool m_overlayOpen = false;
};
