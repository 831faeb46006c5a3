import QtQuick
import QtQuick.Controls.Basic
import Halvane.Ui

// A hover help text for its parent: shown after the pointer rests on the parent for a moment.
Item {
    id: root
    required property string text

    objectName: "help"
    anchors.fill: parent

    HoverHandler {
        id: hover
    }

    ToolTip {
        visible: hover.hovered
        delay: 600
        text: root.text
        font.pixelSize: 11
        padding: 6
        contentItem: Text {
            text: root.text
            font.pixelSize: 11
            color: Zelv.text
            wrapMode: Text.Wrap
        }
        background: Rectangle {
            color: Zelv.neutral800
            radius: Zelv.radiusSm
            border.color: Zelv.divider
        }
    }
}
