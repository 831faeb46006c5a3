import QtQuick
import QtQuick.Controls.Basic
import Halvane.Ui

// The bordered button of the dark palette; `tinted` fills it with the accent, and `borderColor`
// marks a warning state.
Button {
    id: control
    property bool tinted: false
    property color borderColor: Zelv.divider

    padding: 6
    horizontalPadding: 10
    background: Rectangle {
        implicitHeight: 28
        radius: Zelv.radiusSm + 2
        color: control.tinted ? Zelv.accent : Zelv.neutral800
        border.color: control.borderColor
        border.width: 1
        opacity: control.down ? 0.75 : (control.hovered ? 0.92 : 1.0)
    }
}
