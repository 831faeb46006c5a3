import QtQuick
import Halvane.Ui

// The framed box the viewer area shows when there is no image: the "photo" icon over a caption.
Rectangle {
    id: root
    required property string caption

    objectName: "placeholder"
    radius: 8
    color: Zelv.neutral900
    border.color: Zelv.divider
    border.width: 1

    Column {
        anchors.centerIn: parent
        spacing: 8
        SvgIcon {
            anchors.horizontalCenter: parent.horizontalCenter
            name: "photo"
            color: Zelv.neutral600
            width: 24
            height: 20
        }
        Text {
            objectName: "placeholderCaption"
            anchors.horizontalCenter: parent.horizontalCenter
            text: root.caption
            font.pixelSize: 12
            color: Zelv.neutral600
        }
    }
}
