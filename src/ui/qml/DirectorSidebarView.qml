import QtQuick
import QtQuick.Controls.Basic
import QtQuick.Layouts
import Halvane.Ui

// The active camera's parameters as sliders over their allowed values; every step of a slider
// is sent to the camera as it happens. Below: the exposure row (not wired), "AF" and "Enfocar".
Item {
    id: root
    required property WindowState ws

    objectName: "directorSidebar"
    implicitWidth: 236

    ScrollView {
        id: scroll
        anchors.fill: parent
        contentWidth: availableWidth
        ScrollBar.vertical.policy: ScrollBar.AsNeeded

        ColumnLayout {
            id: column
            x: 16
            y: 16
            width: scroll.availableWidth - 32
            spacing: 12

            Rectangle {
                objectName: "badge"
                implicitWidth: badgeText.implicitWidth + 20
                implicitHeight: badgeText.implicitHeight + 6
                radius: height / 2
                color: "transparent"
                border.color: Zelv.accent
                border.width: 1
                Text {
                    id: badgeText
                    anchors.centerIn: parent
                    text: "Director activo"
                    font.pixelSize: 11
                    color: Zelv.accent
                }
            }

            HistogramView {
                ws: root.ws
                Layout.fillWidth: true
            }

            Text {
                objectName: "waitingParams"
                visible: root.ws.params.waiting
                text: "Esperando parámetros de la cámara…"
                font.pixelSize: 11
                color: Zelv.neutral600
                wrapMode: Text.Wrap
                Layout.fillWidth: true
            }

            Repeater {
                model: root.ws.params
                delegate: ColumnLayout {
                    id: paramRow
                    required property int index
                    required property string key
                    required property string label
                    required property string valueText
                    required property int valueCount
                    required property int position
                    required property bool hasSlider

                    objectName: "param:" + key
                    Layout.fillWidth: true
                    spacing: 4

                    RowLayout {
                        Layout.fillWidth: true
                        // The label is always shown in full; the value takes what is left and
                        // wraps, right-aligned, when it does not fit.
                        Text {
                            objectName: "paramLabel"
                            text: paramRow.label
                            font.pointSize: 10.5 * 0.75 // fractional sizes: 72 pt per 96 logical pixels
                            color: Zelv.text
                            opacity: 0.6
                        }
                        Text {
                            objectName: "paramValue"
                            text: paramRow.valueText
                            font.pixelSize: 12
                            font.weight: Font.Medium
                            color: Zelv.text
                            horizontalAlignment: Text.AlignRight
                            wrapMode: Text.WrapAtWordBoundaryOrAnywhere
                            Layout.fillWidth: true
                            Layout.minimumWidth: 24
                        }
                    }
                    ZSlider {
                        objectName: "paramSlider"
                        visible: paramRow.hasSlider
                        Layout.fillWidth: true
                        from: 0
                        to: Math.max(0, paramRow.valueCount - 1)
                        stepSize: 1
                        snapMode: Slider.SnapAlways
                        value: paramRow.position
                        onMoved: root.ws.params.move(paramRow.index, value)
                    }
                }
            }

            ColumnLayout {
                objectName: "exposureRow"
                Layout.fillWidth: true
                spacing: 4
                RowLayout {
                    Layout.fillWidth: true
                    Text {
                        text: "Exposición"
                        font.pointSize: 10.5 * 0.75 // fractional sizes: 72 pt per 96 logical pixels
                        color: Zelv.text
                        opacity: 0.6
                    }
                    Item {
                        Layout.fillWidth: true
                    }
                    Text {
                        objectName: "exposureUnsupported"
                        visible: !root.ws.params.exposureReported
                        text: "no soportado"
                        font.pixelSize: 10
                        color: Zelv.neutral600
                    }
                }
                ZSlider {
                    objectName: "exposureSlider"
                    Layout.fillWidth: true
                    from: -3
                    to: 3
                    value: 0
                    enabled: root.ws.params.exposureReported
                    opacity: enabled ? 1.0 : 0.45
                    // Fixed at 0: the camera link has no exposure command.
                    onMoved: value = 0
                }
            }

            RowLayout {
                Layout.fillWidth: true
                spacing: 6

                Rectangle {
                    objectName: "afLabel"
                    Layout.fillWidth: true
                    Layout.preferredWidth: 1
                    implicitHeight: afText.implicitHeight + 12
                    radius: Zelv.radiusMd
                    color: "transparent"
                    border.color: Zelv.divider
                    border.width: 1
                    opacity: 0.45
                    Text {
                        id: afText
                        anchors.centerIn: parent
                        text: "AF"
                        font.pixelSize: 11
                        color: Zelv.text
                    }
                    HelpTip {
                        text: "No implementado todavía en el protocolo — solo dispara S1+S2 juntos (botón Enfocar)"
                    }
                }
                Button {
                    objectName: "focusButton"
                    Layout.fillWidth: true
                    Layout.preferredWidth: 1
                    flat: true
                    padding: 6
                    onClicked: root.ws.triggerShutter()
                    contentItem: Text {
                        text: "Enfocar"
                        font.pixelSize: 11
                        color: Zelv.accent
                        horizontalAlignment: Text.AlignHCenter
                        verticalAlignment: Text.AlignVCenter
                    }
                    background: Rectangle {
                        radius: Zelv.radiusMd
                        color: "transparent"
                        border.color: Zelv.accent
                        border.width: 1
                    }
                }
            }

            Item {
                implicitHeight: 4
            }
        }
    }
}
