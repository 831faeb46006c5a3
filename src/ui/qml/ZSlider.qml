import QtQuick
import QtQuick.Controls.Basic
import Halvane.Ui

// A slider in the dark palette.
Slider {
    id: control
    padding: 2
    background: Rectangle {
        x: control.leftPadding
        y: control.topPadding + control.availableHeight / 2 - height / 2
        implicitWidth: 180
        implicitHeight: 4
        width: control.availableWidth
        height: implicitHeight
        radius: 2
        color: Zelv.neutral800
        Rectangle {
            width: control.visualPosition * parent.width
            height: parent.height
            radius: 2
            color: Zelv.accent
        }
    }
    handle: Rectangle {
        x: control.leftPadding + control.visualPosition * (control.availableWidth - width)
        y: control.topPadding + control.availableHeight / 2 - height / 2
        implicitWidth: 14
        implicitHeight: 14
        radius: 7
        color: control.pressed ? Zelv.accent200 : Zelv.text
        border.color: Zelv.accent
        border.width: 1
    }
}
