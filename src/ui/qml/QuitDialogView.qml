import QtQuick
import QtQuick.Controls.Basic
import QtQuick.Layouts
import QtQuick.Templates as T
import Halvane.Ui

// The question asked before quitting while photos are not stored: how many would be lost, and
// the three answers. Shown over the window, in its own palette, while `guard.asking`.
Popup {
    id: root
    required property QuitGuard guard

    objectName: "quitDialog"
    parent: T.Overlay.overlay
    anchors.centerIn: parent
    width: 440
    modal: true
    focus: true
    padding: 22
    visible: guard.asking
    closePolicy: Popup.CloseOnEscape
    // Escape answers "Cancelar".
    onClosed: if (guard.asking) guard.cancel()

    // The popup animates the dimmer's opacity itself, so the see-through is in the colour.
    T.Overlay.modal: Rectangle {
        color: Qt.rgba(Zelv.bg.r, Zelv.bg.g, Zelv.bg.b, 0.6)
    }
    background: Rectangle {
        color: Zelv.surface
        radius: Zelv.radiusLg
        border.color: Zelv.divider
        border.width: 1
    }

    contentItem: ColumnLayout {
        spacing: 12

        Text {
            text: "¿Salir de Halvane?"
            font: Zelv.headingFont
            color: Zelv.text
        }
        Text {
            objectName: "quitMessage"
            text: root.guard.message
            font.pixelSize: 12
            color: Zelv.text
            opacity: 0.8
            wrapMode: Text.Wrap
            Layout.fillWidth: true
        }
        RowLayout {
            spacing: 8
            Layout.topMargin: 6
            Layout.alignment: Qt.AlignRight

            BorderedButton {
                objectName: "quitCancel"
                text: "Cancelar"
                palette.buttonText: Zelv.text
                onClicked: root.guard.cancel()
            }
            BorderedButton {
                objectName: "quitDiscard"
                text: "Salir sin guardar"
                palette.buttonText: Zelv.text
                onClicked: root.guard.quitWithoutSaving()
            }
            BorderedButton {
                objectName: "quitChooseFolder"
                text: "Elegir carpeta…"
                tinted: true
                palette.buttonText: Zelv.accent100
                onClicked: root.guard.chooseFolder()
            }
        }
    }
}
