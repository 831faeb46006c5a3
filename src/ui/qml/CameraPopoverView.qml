import QtQuick
import QtQuick.Layouts
import Halvane.Ui

// The popover's content: one row per connected camera with its reception status and switch.
// A click on a row makes its camera active; the popover stays open.
Item {
    id: root
    required property WindowState ws

    objectName: "cameraPopover"
    implicitWidth: 260
    implicitHeight: column.implicitHeight + 12

    Column {
        id: column
        x: 6
        y: 6
        width: root.width - 12
        spacing: 0

        Text {
            anchors.horizontalCenter: parent.horizontalCenter
            visible: root.ws.cameras.count === 0
            padding: 14
            text: "Sin cámaras conectadas"
            font.pixelSize: 12
            color: Zelv.neutral500
        }

        Repeater {
            model: root.ws.cameras
            delegate: Item {
                id: row
                required property string cameraId
                required property string name
                required property int status
                required property string statusText
                required property bool receptionOn
                required property bool noSignal

                objectName: "cameraRow"
                width: column.width
                implicitHeight: content.implicitHeight + 16
                opacity: row.noSignal ? 0.45 : 1.0

                Rectangle {
                    anchors.fill: parent
                    radius: Zelv.radiusSm + 2
                    color: Zelv.divider
                    opacity: hover.hovered ? 0.35 : 0
                }
                HoverHandler {
                    id: hover
                }
                TapHandler {
                    onTapped: root.ws.selectCamera(row.cameraId)
                }

                RowLayout {
                    id: content
                    anchors.fill: parent
                    anchors.margins: 8
                    spacing: 10

                    Rectangle {
                        objectName: "statusDot"
                        implicitWidth: 7
                        implicitHeight: 7
                        radius: 3.5
                        color: row.status === 0 ? Zelv.accent : (row.status === 1 ? Zelv.neutral600 : Zelv.neutral700)
                    }
                    ColumnLayout {
                        spacing: 1
                        Text {
                            text: row.name
                            font.pointSize: 12.5 * 0.75 // fractional sizes: 72 pt per 96 logical pixels
                            font.weight: Font.Medium
                            color: Zelv.text
                            elide: Text.ElideRight
                            Layout.maximumWidth: 160
                        }
                        Text {
                            objectName: "statusText"
                            text: row.statusText
                            font.pointSize: 10.5 * 0.75 // fractional sizes: 72 pt per 96 logical pixels
                            color: Zelv.text
                            opacity: 0.5
                        }
                    }
                    Item {
                        Layout.fillWidth: true
                    }
                    ZSwitch {
                        objectName: "receptionSwitch"
                        checked: row.receptionOn
                        enabled: !row.noSignal
                        onToggled: root.ws.toggleEnabled(row.cameraId)
                    }
                }
            }
        }
    }
}
