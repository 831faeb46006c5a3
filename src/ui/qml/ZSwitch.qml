import QtQuick
import QtQuick.Controls.Basic
import Halvane.Ui

// A switch in the dark palette, without a visible label.
Switch {
    id: control
    padding: 0
    spacing: 0
    // The Basic switch sizes itself by its label; this one has none, so by its indicator.
    implicitWidth: indicator.implicitWidth
    implicitHeight: indicator.implicitHeight
    indicator: Rectangle {
        implicitWidth: 30
        implicitHeight: 18
        x: control.leftPadding
        y: control.topPadding + (control.availableHeight - height) / 2
        radius: 9
        color: control.checked ? Zelv.accent : Zelv.neutral700
        border.color: Zelv.divider
        Rectangle {
            width: 14
            height: 14
            radius: 7
            y: 2
            x: control.checked ? parent.width - width - 2 : 2
            color: control.enabled ? Zelv.text : Zelv.neutral500
            Behavior on x {
                NumberAnimation {
                    duration: 120
                }
            }
        }
    }
    contentItem: Item {}
}
