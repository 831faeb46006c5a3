import QtQuick
import Halvane.Ui

// The body while there is nothing to show yet: one line, centred.
Item {
    objectName: "emptyBody"
    Text {
        anchors.centerIn: parent
        text: "Esperando fotos…"
        font.pixelSize: 13
        color: Zelv.neutral600
    }
}
