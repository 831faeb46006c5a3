import QtQuick
import QtQuick.Controls.Basic
import Halvane.Ui

// One item of a ZMenu: its text, then its shortcut when it has one; dimmed while disabled.
MenuItem {
    id: item
    property string shortcut

    contentItem: Row {
        spacing: 16
        Text {
            text: item.text
            font.pixelSize: 12
            color: item.enabled ? Zelv.text : Zelv.neutral600
        }
        Text {
            visible: item.shortcut !== ""
            text: item.shortcut
            font.pixelSize: 12
            color: Zelv.neutral500
        }
    }
    background: Rectangle {
        radius: Zelv.radiusSm
        color: item.highlighted ? Zelv.accent700 : "transparent"
    }
}
