import QtQuick
import Halvane.Ui

// Marks a photo whose file is not in the capture folder, so nobody takes it for safe.
Rectangle {
    objectName: "unsavedMark"
    implicitWidth: 14
    implicitHeight: 14
    radius: 7
    color: Zelv.accent800
    border.color: Zelv.accent300
    border.width: 1

    Text {
        anchors.centerIn: parent
        text: "!"
        font.pixelSize: 10
        font.bold: true
        color: Zelv.accent100
    }

    HelpTip {
        text: "No se ha guardado en la carpeta de capturas"
    }
}
