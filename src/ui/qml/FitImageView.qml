import QtQuick
import Halvane.Ui

// The zoomable viewer: the image fitted into the area, rounded and framed, scaled about its own
// centre by the zoom (the frame line and corners scale with it) and moved by the pan. A new
// `image` with the same `identity` keeps zoom and pan; a new identity starts afresh. Double
// click, drag, pinch and wheel are recognised by the handlers below, anywhere on the area (the
// empty bands beside the image too); what they do is the ZoomArea's.
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

    // A press that moves past the drag threshold is a drag and no tap: a double click whose
    // second press drags pans instead of zooming.
    TapHandler {
        onDoubleTapped: area.toggleZoom()
    }
    DragHandler {
        target: null
        dragThreshold: area.dragThreshold
        // Measured from the press, and given on the move that starts the drag too (the
        // handler's own translation only follows from the next move on).
        function moved() {
            area.drag(Qt.point(centroid.position.x - centroid.pressPosition.x,
                               centroid.position.y - centroid.pressPosition.y));
        }
        onCentroidChanged: if (active) moved()
        onActiveChanged: if (active) moved(); else area.endDrag()
    }
    PinchHandler {
        target: null
        onUpdated: if (active) area.pinch(activeScale)
        onActiveChanged: if (!active) area.endPinch()
        onCanceled: area.cancelPinch()
    }
    WheelHandler {
        target: null
        onWheel: (event) => area.wheel(event.angleDelta, Qt.point(event.x, event.y))
    }
}
