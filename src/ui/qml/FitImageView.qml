import QtQuick
import Halvane.Ui

// The zoomable viewer: the image fitted into the area, rounded and framed, scaled about its own
// centre by the zoom (the frame line and corners scale with it) and moved by the pan. A new
// `image` with the same `identity` keeps zoom and pan; a new identity starts afresh.
ZoomArea {
    id: area
    property alias image: picture.image
    // Items declared inside the viewer are laid over the image, in its card.
    default property alias cardContent: card.data

    objectName: "fitImageView"
    imageSize: picture.imageSize

    Item {
        id: card
        objectName: "imageCard"
        width: area.fittedWidth
        height: area.fittedHeight
        x: (area.width - width) / 2 + area.shownOffsetX
        y: (area.height - height) / 2 + area.shownOffsetY
        scale: area.shownScale
        transformOrigin: Item.Center
        visible: width > 0 && height > 0

        PictureItem {
            id: picture
            objectName: "picture"
            anchors.fill: parent
            radius: Zelv.radiusMd
        }
        Rectangle {
            anchors.fill: parent
            color: "transparent"
            radius: Zelv.radiusMd
            border.color: Zelv.divider
            border.width: 1
        }
    }
}
