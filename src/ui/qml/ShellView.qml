import QtQuick
import Halvane.Ui

// Everything inside the window: the root view, the window's context menu with the quit item, the
// question asked before quitting with unsaved photos, and the notice of photos recovered from an
// earlier run. `requestQuit()` is what every way of quitting calls; `guard.quitConfirmed` says
// the application may end.
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

    ZMenu {
        id: contextMenu
        objectName: "contextMenu"
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
