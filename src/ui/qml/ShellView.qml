import QtQuick
import QtQml
import Halvane.Ui

// Everything inside the window: the root view, the window's context menu with the quit item, the
// question asked before quitting with unsaved photos, the notice of photos recovered from an
// earlier run, the client view's card, and the window's keys with their overlay. `requestQuit()` is what every way of
// quitting calls; `guard.quitConfirmed` says the application may end.
Item {
    id: root
    required property WindowState ws
    readonly property QuitGuard guard: root.ws.quitGuard

    objectName: "shell"

    // True when the application may end now; otherwise the question is shown.
    function requestQuit() {
        return root.guard.mayQuit();
    }

    // Under the views: gets the right clicks they leave alone.
    MouseArea {
        anchors.fill: parent
        acceptedButtons: Qt.RightButton
        onClicked: (mouse) => contextMenu.popup(mouse.x, mouse.y)
    }

    CaptureWindowView {
        anchors.fill: parent
        ws: root.ws
    }

    ShareCardView {
        ws: root.ws
    }

    KeysOverlayView {
        anchors.fill: parent
        ws: root.ws
    }

    // One shortcut a key, whatever has the focus in the window; what they do, and when they may
    // fire, is decided by ws.keys.
    Instantiator {
        model: root.ws.keys.sequences
        delegate: Shortcut {
            required property string modelData
            sequence: modelData
            context: Qt.WindowShortcut
            enabled: modelData === "Esc" ? root.ws.keys.escapeEnabled : root.ws.keys.enabled
            onActivated: root.ws.keys.trigger(modelData)
        }
    }
    Binding {
        target: root.ws.keys
        property: "focusItem"
        value: root.Window.activeFocusItem
    }

    ZMenu {
        id: contextMenu
        objectName: "contextMenu"
        ZMenuItem {
            objectName: "shareItem"
            visible: root.ws.share !== null
            height: visible ? implicitHeight : 0
            text: root.ws.share && root.ws.share.on ? "Desactivar vista para clientes" : "Activar vista para clientes"
            shortcut: "C"
            onTriggered: root.ws.share.toggle()
        }
        ZMenuItem {
            objectName: "shareCardItem"
            visible: root.ws.share !== null && root.ws.share.on && !root.ws.share.cardShown
            height: visible ? implicitHeight : 0
            text: "Mostrar código de acceso"
            onTriggered: root.ws.share.cardShown = true
        }
        ZMenuItem {
            objectName: "quitItem"
            text: "Quit Halvane"
            shortcut: "Ctrl+Q"
            onTriggered: root.requestQuit()
        }
    }

    QuitDialogView {
        guard: root.guard
    }

    RecoveryNoticeView {
        ws: root.ws
    }
}
