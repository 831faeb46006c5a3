import QtQuick
import QtQuick.Controls.Basic
import QtQuick.Layouts
import QtQuick.Templates as T
import Halvane.Ui

// Tells once how many photos of an earlier run were recovered from the pending folder and where
// they are now. Shown at the top of the window, without blocking it, until the user closes it.
Popup {
    id: root
    required property WindowState ws

    objectName: "recoveryNotice"
    parent: T.Overlay.overlay
    x: (parent.width - width) / 2
    y: 56
    width: 460
    padding: 18
    visible: ws.recoveryText !== ""
    closePolicy: Popup.CloseOnEscape
    onClosed: root.ws.dismissRecovery()

    background: Rectangle {
        color: Zelv.surface
        radius: Zelv.radiusLg
        border.color: Zelv.accent700
        border.width: 1
    }

    contentItem: ColumnLayout {
        spacing: 10

        Text {
            text: "Fotos recuperadas"
            font: Zelv.headingFont
            color: Zelv.text
        }
        Text {
            objectName: "recoveryMessage"
            text: root.ws.recoveryText
            font.pixelSize: 12
            color: Zelv.text
            opacity: 0.8
            wrapMode: Text.Wrap
            Layout.fillWidth: true
        }
        BorderedButton {
            objectName: "recoveryClose"
            text: "Entendido"
            tinted: true
            palette.buttonText: Zelv.accent100
            Layout.alignment: Qt.AlignRight
            onClicked: root.ws.dismissRecovery()
        }
    }
}
