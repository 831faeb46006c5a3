import QtQuick
import QtQuick.Layouts
import Halvane.Ui

// The list of the window's keys over the dimmed window, while `ws.keys.overlayOpen`: opened
// with "?", closed with Escape, "?" again or a click anywhere.
Item {
    id: root
    required property WindowState ws

    objectName: "keysOverlay"
    visible: root.ws.keys.overlayOpen

    Rectangle {
        anchors.fill: parent
        color: Qt.rgba(Zelv.bg.r, Zelv.bg.g, Zelv.bg.b, 0.6)
    }
    // Takes every click and wheel turn, so none reaches the views below.
    MouseArea {
        anchors.fill: parent
        acceptedButtons: Qt.AllButtons
        onClicked: root.ws.keys.closeOverlay()
        onWheel: (wheel) => wheel.accepted = true
    }

    Rectangle {
        objectName: "keysCard"
        anchors.centerIn: parent
        width: 320
        height: column.implicitHeight + 2 * column.anchors.margins
        color: Zelv.surface
        radius: Zelv.radiusLg
        border.color: Zelv.divider
        border.width: 1

        ColumnLayout {
            id: column
            anchors.fill: parent
            anchors.margins: 20
            spacing: 6

            Text {
                text: "Atajos de teclado"
                font: Zelv.headingFont
                color: Zelv.text
                Layout.bottomMargin: 6
            }
            Repeater {
                model: root.ws.keys.legend
                delegate: RowLayout {
                    required property var modelData
                    spacing: 12

                    // The key cap, in a column as wide as the widest ("Espacio").
                    Item {
                        implicitWidth: 64
                        implicitHeight: 22
                        Rectangle {
                            width: Math.max(22, cap.implicitWidth + 12)
                            height: parent.height
                            radius: Zelv.radiusSm
                            color: Zelv.neutral800
                            border.color: Zelv.divider
                            border.width: 1
                            Text {
                                id: cap
                                objectName: "keyCap"
                                anchors.centerIn: parent
                                text: modelData.keys
                                font.pixelSize: 11
                                font.weight: Font.Medium
                                color: Zelv.text
                            }
                        }
                    }
                    Text {
                        objectName: "keyText"
                        text: modelData.text
                        font.pixelSize: 12
                        color: Zelv.text
                        opacity: 0.8
                        Layout.fillWidth: true
                    }
                }
            }
        }
    }
}
