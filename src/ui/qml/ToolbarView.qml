import QtQuick
import QtQuick.Controls.Basic
import QtQuick.Layouts
import QtQuick.Shapes
import Halvane.Ui

// The strip across the top: the camera selector with its popover, then, at the right end, the
// capture folder, the director-mode button and the shutter.
Item {
    id: root
    required property WindowState ws
    readonly property Monitor m: ws.monitor

    objectName: "toolbar"
    implicitHeight: bar.implicitHeight + 16

    RowLayout {
        id: bar
        anchors.fill: parent
        anchors.leftMargin: 18
        anchors.rightMargin: 18
        anchors.topMargin: 8
        anchors.bottomMargin: 8
        spacing: 14

        Item {
            implicitWidth: 64
            implicitHeight: 1
        }

        Button {
            id: selector
            objectName: "cameraSelector"
            flat: true
            padding: 0
            background: Item {}
            onClicked: root.m.cameraPopoverOpen = !root.m.cameraPopoverOpen

            contentItem: RowLayout {
                spacing: 9
                Rectangle {
                    implicitWidth: 28
                    implicitHeight: 28
                    radius: 14
                    color: root.ws.hasActiveCamera ? Zelv.accent800 : Zelv.neutral800
                    SvgIcon {
                        anchors.centerIn: parent
                        name: "camera.fill"
                        color: root.ws.hasActiveCamera ? Zelv.accent200 : Zelv.neutral500
                        width: 15
                        height: 13
                    }
                }
                ColumnLayout {
                    spacing: 1
                    Text {
                        objectName: "cameraTitle"
                        text: root.ws.cameraTitle
                        font: Zelv.headingFont
                        color: Zelv.text
                        elide: Text.ElideRight
                        Layout.maximumWidth: 240
                    }
                    Text {
                        objectName: "waitingText"
                        visible: !root.ws.hasActiveCamera
                        text: "Esperando conexión"
                        font.pointSize: 10.5 * 0.75 // fractional sizes: 72 pt per 96 logical pixels
                        color: Zelv.text
                        opacity: 0.45
                    }
                }
                Rectangle {
                    objectName: "photoCount"
                    visible: root.ws.hasActiveCamera
                    implicitWidth: countText.implicitWidth + 16
                    implicitHeight: countText.implicitHeight + 6
                    radius: height / 2
                    color: Zelv.accent800
                    Text {
                        id: countText
                        anchors.centerIn: parent
                        text: root.ws.photoCountText
                        font.pixelSize: 10
                        color: Zelv.accent100
                    }
                }
                SvgIcon {
                    name: "chevron.down"
                    color: Zelv.text
                    opacity: 0.45
                    implicitWidth: 9
                    implicitHeight: 6
                }
            }

            Popup {
                id: popover
                objectName: "popover"
                // Below the selector, its arrow's tip on the selector's bottom edge.
                readonly property int arrowHeight: 7
                x: Math.round((selector.width - width) / 2)
                y: selector.height + arrowHeight
                width: 260
                padding: 0
                topPadding: 0
                visible: root.m.cameraPopoverOpen
                closePolicy: Popup.CloseOnEscape | Popup.CloseOnPressOutsideParent
                onAboutToHide: if (root.m.cameraPopoverOpen) root.m.cameraPopoverOpen = false

                // The bubble and its arrow in one outline. The shape reaches above the popup by
                // the arrow's height: a layer only draws inside its item.
                background: Item {
                    Shape {
                        id: bubble
                        y: -height + popover.height
                        width: popover.width
                        height: popover.height + popover.arrowHeight
                        layer.enabled: true
                        layer.samples: 4
                        readonly property real w: width
                        readonly property real a: popover.arrowHeight
                        readonly property real h: height
                        readonly property real r: 10
                        ShapePath {
                            strokeColor: Zelv.divider
                            strokeWidth: 1
                            fillColor: Zelv.surface
                            startX: bubble.r
                            startY: bubble.a
                            PathLine { x: bubble.w / 2 - bubble.a; y: bubble.a }
                            PathLine { x: bubble.w / 2; y: 0 }
                            PathLine { x: bubble.w / 2 + bubble.a; y: bubble.a }
                            PathLine { x: bubble.w - bubble.r; y: bubble.a }
                            PathArc { x: bubble.w; y: bubble.a + bubble.r; radiusX: bubble.r; radiusY: bubble.r }
                            PathLine { x: bubble.w; y: bubble.h - bubble.r }
                            PathArc { x: bubble.w - bubble.r; y: bubble.h; radiusX: bubble.r; radiusY: bubble.r }
                            PathLine { x: bubble.r; y: bubble.h }
                            PathArc { x: 0; y: bubble.h - bubble.r; radiusX: bubble.r; radiusY: bubble.r }
                            PathLine { x: 0; y: bubble.a + bubble.r }
                            PathArc { x: bubble.r; y: bubble.a; radiusX: bubble.r; radiusY: bubble.r }
                        }
                    }
                }
                contentItem: CameraPopoverView {
                    ws: root.ws
                }
            }
        }

        Item {
            Layout.fillWidth: true
        }

        BorderedButton {
            id: folderButton
            objectName: "folderButton"
            // While the capture folder fails, photos wait on disk: the button says so.
            readonly property bool failing: root.m.folderFailing
            Layout.maximumWidth: 280
            borderColor: failing ? Zelv.clipHighlight : Zelv.divider
            onClicked: root.ws.chooseFolder()
            contentItem: RowLayout {
                spacing: 5
                SvgIcon {
                    name: "folder.fill"
                    color: folderButton.failing ? Zelv.clipHighlight : Zelv.text
                    implicitWidth: 15
                    implicitHeight: 12
                }
                Text {
                    objectName: "folderName"
                    text: root.m.folderName
                    font.pointSize: 12.5 * 0.75 // fractional sizes: 72 pt per 96 logical pixels
                    color: Zelv.text
                    maximumLineCount: 1
                    elide: Text.ElideMiddle
                    Layout.fillWidth: true
                }
            }
            HelpTip {
                text: folderButton.failing
                    ? "Elegir la carpeta donde se guardan las fotos\n\nLa carpeta de capturas no funciona ahora "
                      + "(no existe, está llena o es de solo lectura). Las fotos esperan en el disco y pasarán "
                      + "a ella en cuanto funcione."
                    : "Elegir la carpeta donde se guardan las fotos"
            }
        }

        BorderedButton {
            objectName: "directorButton"
            tinted: root.m.directorModeOn
            padding: 0
            horizontalPadding: 0
            onClicked: root.ws.toggleDirectorMode()
            contentItem: Item {
                implicitWidth: 30
                implicitHeight: 30
                SvgIcon {
                    anchors.centerIn: parent
                    name: "slider.horizontal.3"
                    color: root.m.directorModeOn ? Zelv.accent100 : Zelv.text
                    width: 15
                    height: 14
                }
            }
            HelpTip {
                text: "Modo Director"
            }
        }

        Button {
            objectName: "shutterButton"
            flat: true
            padding: 0
            enabled: root.ws.hasActiveCamera
            opacity: enabled ? 1.0 : 0.45
            background: Item {}
            onClicked: root.ws.triggerShutter()
            contentItem: Item {
                implicitWidth: 34
                implicitHeight: 34
                Rectangle {
                    anchors.fill: parent
                    anchors.margins: 1
                    radius: width / 2
                    color: "transparent"
                    border.color: Zelv.accent
                    border.width: 2
                }
                Rectangle {
                    anchors.centerIn: parent
                    width: 18
                    height: 18
                    radius: 9
                    color: Zelv.accent
                }
            }
            HelpTip {
                text: "Disparar"
            }
        }
    }

    Rectangle {
        anchors.left: parent.left
        anchors.right: parent.right
        anchors.bottom: parent.bottom
        height: 1
        color: Zelv.divider
    }
}
