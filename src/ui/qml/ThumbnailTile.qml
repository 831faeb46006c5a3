import QtQuick
import Halvane.Ui

// One photo of the strip: its thumbnail cropped to the tile, framed and glowing when selected.
// The whole tile is the click target; a right click asks for the file menu.
Item {
    id: tile
    required property string photoId
    required property var thumb
    required property bool hasThumb
    required property bool selected
    required property bool unsaved
    signal clicked
    // A right click, at `position` in the tile.
    signal menuRequested(point position)

    objectName: "tile"
    width: 144
    height: 96

    // The glow: a few widening outlines of the accent fading outwards, about 8 points deep.
    Repeater {
        model: tile.selected ? 4 : 0
        Rectangle {
            required property int index
            anchors.fill: parent
            anchors.margins: -2 * (index + 1)
            radius: 5 + 2 * (index + 1)
            color: "transparent"
            border.color: Zelv.accent
            border.width: 2
            opacity: 0.45 * (1 - index / 4) * 0.6
        }
    }

    Rectangle {
        anchors.fill: parent
        radius: 5
        color: Zelv.neutral800
    }
    PictureItem {
        anchors.fill: parent
        visible: tile.hasThumb
        image: tile.thumb
        cover: true
        radius: 5
    }
    SvgIcon {
        anchors.centerIn: parent
        visible: !tile.hasThumb
        name: "photo"
        color: Zelv.neutral500
        width: 19
        height: 16
    }
    Rectangle {
        objectName: "selectionFrame"
        anchors.fill: parent
        radius: 5
        color: "transparent"
        border.color: Zelv.accent
        border.width: tile.selected ? 2 : 0
    }
    UnsavedMark {
        visible: tile.unsaved
        anchors.top: parent.top
        anchors.right: parent.right
        anchors.margins: 5
    }
    TapHandler {
        onTapped: tile.clicked()
    }
    // Taken here, so the window's own menu does not open as well.
    TapHandler {
        acceptedButtons: Qt.RightButton
        gesturePolicy: TapHandler.WithinBounds
        onTapped: (point) => tile.menuRequested(point.position)
    }
}
