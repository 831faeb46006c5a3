#include "KeyCommands.h"

#include <QKeySequence>

#include <algorithm>
#include <array>

#include "model/Logging.h"

namespace {

struct Binding {
    int key;
    const char *keys; // as the overlay shows it
    const char *text;
};

// The order of the overlay.
constexpr std::array kBindings {
    Binding { Qt::Key_Left, "←", "Foto anterior" },
    Binding { Qt::Key_Right, "→", "Foto siguiente" },
    Binding { Qt::Key_Home, "Inicio", "Foto más reciente" },
    Binding { Qt::Key_End, "Fin", "Foto más antigua" },
    Binding { Qt::Key_Space, "Espacio", "Encajar o ampliar a 2.5×" },
    Binding { Qt::Key_D, "D", "Modo Director" },
    Binding { Qt::Key_F, "F", "Pantalla completa" },
    Binding { Qt::Key_Escape, "Esc", "Salir de pantalla completa" },
    Binding { Qt::Key_J, "J", "Avisos de recorte" },
    Binding { Qt::Key_P, "P", "Realce de enfoque" },
    Binding { Qt::Key_G, "G", "Cuadrícula" },
    Binding { Qt::Key_C, "C", "Vista para clientes" },
    Binding { Qt::Key_Question, "?", "Atajos de teclado" },
};

} // namespace

KeyCommands::KeyCommands(
    Monitor &monitor, QuitGuard &guard, ViewOptions &options, ViewerSource &viewer, QObject *parent)
    : QObject(parent)
    , m_monitor(monitor)
    , m_guard(guard)
    , m_options(options)
    , m_viewer(viewer)
{ }

QStringList KeyCommands::sequences()
{
    QStringList sequences;
    for (const Binding &binding : kBindings)
        sequences.append(QKeySequence(binding.key).toString(QKeySequence::PortableText));
    return sequences;
}

QVariantList KeyCommands::legend()
{
    QVariantList legend;
    for (const Binding &binding : kBindings)
        legend.append(QVariantMap { { QStringLiteral("keys"), QString::fromUtf8(binding.keys) },
            { QStringLiteral("text"), QString::fromUtf8(binding.text) } });
    return legend;
}

bool KeyCommands::focusTakesKeys(const QQuickItem *focus)
{
    for (const QQuickItem *item = focus; item; item = item->parentItem()) {
        if (item->inherits("QQuickTextInput") || item->inherits("QQuickTextEdit")
            || item->inherits("QQuickPopupItem"))
            return true;
    }
    return false;
}

void KeyCommands::refresh()
{
    const bool enabled = !m_guard.asking() && m_monitor.recoveredCount() == 0
        && !m_monitor.cameraPopoverOpen() && !focusTakesKeys(m_focusItem);
    if (enabled == m_enabled)
        return;
    m_enabled = enabled;
    emit changed();
}

void KeyCommands::setFocusItem(QQuickItem *item)
{
    if (item == m_focusItem)
        return;
    m_focusItem = item;
    emit changed();
    refresh();
}

void KeyCommands::setFullScreen(bool on)
{
    if (on == m_fullScreen)
        return;
    m_fullScreen = on;
    qCDebug(lcUi) << "window full screen:" << (on ? "on" : "off");
    emit changed();
}

void KeyCommands::setOverlayOpen(bool open)
{
    if (open == m_overlayOpen)
        return;
    m_overlayOpen = open;
    emit changed();
}

void KeyCommands::closeOverlay()
{
    setOverlayOpen(false);
}

int KeyCommands::stripRowFor(int key, int row, int rows)
{
    switch (key) {
    case Qt::Key_Left:
        return std::max(row - 1, 0);
    case Qt::Key_Right:
        return std::min(row + 1, rows - 1);
    case Qt::Key_Home:
        return 0;
    case Qt::Key_End:
        return rows - 1;
    default:
        return -1;
    }
}

// The strip shows the active camera's photos newest first, so its row r is photo rows - 1 - r.
bool KeyCommands::stepSelection(int key)
{
    const CameraConnection *cam = m_monitor.activeCamera();
    const CapturedPhoto *selected = m_monitor.selectedPhoto();
    if (!cam || !selected)
        return false;
    const int rows = int(cam->photos.size());
    const int row = rows - 1 - int(selected - cam->photos.constData());
    const int target = stripRowFor(key, row, rows);
    const CapturedPhoto &photo = cam->photos[rows - 1 - target];
    qCDebug(lcUi).noquote().nospace()
        << "key " << QKeySequence(key).toString(QKeySequence::PortableText) << ": photo " << target + 1
        << " of " << rows << " in the strip, " << photo.filename;
    if (target != row)
        m_monitor.setSelectedPhotoId(photo.id());
    emit stripRowSelected(target);
    return true;
}

bool KeyCommands::trigger(const QString &sequence)
{
    const QKeySequence keys = QKeySequence::fromString(sequence, QKeySequence::PortableText);
    return !keys.isEmpty() && handleKey(keys[0].key());
}

bool KeyCommands::handleKey(int key)
{
    if (!m_enabled)
        return false;
    // The overlay is read, not used: only what closes it works while it shows.
    if (m_overlayOpen) {
        if (key != Qt::Key_Escape && key != Qt::Key_Question)
            return false;
        setOverlayOpen(false);
        return true;
    }
    switch (key) {
    case Qt::Key_Left:
    case Qt::Key_Right:
    case Qt::Key_Home:
    case Qt::Key_End:
        return stepSelection(key);
    case Qt::Key_Space:
        if (!m_viewer.hasImage())
            return false;
        emit zoomToggled();
        return true;
    case Qt::Key_D:
        m_monitor.toggleDirectorMode();
        return true;
    case Qt::Key_F:
        emit fullScreenRequested(!m_fullScreen);
        return true;
    case Qt::Key_Escape:
        if (!m_fullScreen)
            return false;
        emit fullScreenRequested(false);
        return true;
    case Qt::Key_J:
        m_options.toggleClipping();
        return true;
    case Qt::Key_P:
        m_options.togglePeaking();
        return true;
    case Qt::Key_G:
        m_options.toggleGrid();
        return true;
    case Qt::Key_C:
        if (!m_share)
            return false;
        m_share->toggle();
        return true;
    case Qt::Key_Question:
        setOverlayOpen(true);
        return true;
    default:
        return false;
    }
}
