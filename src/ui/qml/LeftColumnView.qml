import QtQuick
import QtQuick.Layouts
import Halvane.Ui

// The photo column: the viewer (live view in director mode, otherwise the selected photo) over
// the strip of the active camera's thumbnails, newest first. A right click on either opens the
// file menu of its photo: a tile's own, the viewer's selected photo (none in live view).
Item {
    id: root
    required property WindowState ws

    objectName: "leftColumn"

    ColumnLayout {
        anchors.fill: parent
        anchors.margins: 18
        spacing: 14

        Item {
            id: viewerArea
            Layout.fillWidth: true
            Layout.fillHeight: true

            FitImageView {
                id: viewer
                anchors.fill: parent
                visible: root.ws.viewer.hasImage
                image: root.ws.viewer.image
                identity: root.ws.viewer.identity

                ViewerOverlays {
                    anchors.fill: parent
                    ws: root.ws
                }
            }
            // The viewer's frame in device pixels and its zoom (a pinch counts as it goes), so
            // that photos are decoded as large as they are shown.
            Binding {
                target: root.ws.viewer
                property: "frameSize"
                value: Qt.size(viewer.width * Screen.devicePixelRatio, viewer.height * Screen.devicePixelRatio)
            }
            Binding {
                target: root.ws.viewer
                property: "zoom"
                value: Math.max(viewer.zoom, viewer.shownScale)
            }
            Connections {
                target: root.ws.keys
                function onZoomToggled() { viewer.toggleZoom(); }
            }
            Placeholder {
                anchors.fill: parent
                visible: !root.ws.viewer.hasImage
                caption: root.ws.viewer.caption
            }
            // The file menu of the photo shown; the viewer takes only the left button.
            TapHandler {
                acceptedButtons: Qt.RightButton
                gesturePolicy: TapHandler.WithinBounds
                onTapped: (point) => {
                    root.ws.files.aimAtViewer();
                    fileMenu.popup(viewerArea, point.position.x, point.position.y);
                }
            }
            AidToggles {
                anchors.top: parent.top
                anchors.right: parent.right
                anchors.margins: 10
                visible: root.ws.viewer.hasImage
                ws: root.ws
            }
        }

        // The strip is 96 high; its clip reaches a little above and below so the selected
        // tile's glow is not cut, but not sideways, where tiles scroll out of view.
        Item {
            Layout.fillWidth: true
            Layout.preferredHeight: 96

            Item {
                anchors.fill: parent
                anchors.topMargin: -10
                anchors.bottomMargin: -10
                clip: true

                ListView {
                    id: strip
                    objectName: "strip"
                    anchors.fill: parent
                    anchors.topMargin: 10
                    anchors.bottomMargin: 10
                    // Room for the glow at both ends of the row.
                    leftMargin: 8
                    rightMargin: 8
                    orientation: ListView.Horizontal
                    spacing: 12
                    model: root.ws.thumbnails
                    reuseItems: true
                    boundsBehavior: Flickable.StopAtBounds
                    delegate: ThumbnailTile {
                        id: tile
                        onClicked: root.ws.selectPhoto(photoId)
                        onMenuRequested: (position) => {
                            root.ws.files.aimAtPhoto(photoId);
                            fileMenu.popup(tile, position.x, position.y);
                        }
                    }
                    // A photo chosen with the keys is scrolled into view.
                    Connections {
                        target: root.ws.keys
                        function onStripRowSelected(row) { strip.positionViewAtIndex(row, ListView.Contain); }
                    }
                }
            }

            Item {
                width: 144
                height: 96
                visible: root.ws.thumbnails.count === 0
                Text {
                    anchors.centerIn: parent
                    text: "Aún no hay fotos"
                    font.pixelSize: 11
                    color: Zelv.neutral600
                }
            }
        }
    }

    FileMenu {
        id: fileMenu
        actions: root.ws.files
    }
}
