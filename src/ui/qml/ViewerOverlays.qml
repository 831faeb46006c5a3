import QtQuick
import Halvane.Ui

// The aids drawn over the viewer's image, inside its card so they scale and pan with it: the
// clipping and peaking masks (each as large as the image it was computed from, stretched to the
// card) and the rule-of-thirds grid, whose lines stay one point wide at any zoom.
Item {
    id: root
    required property WindowState ws
    readonly property real lineWidth: 1 / Math.max(1, parent ? parent.scale : 1)

    objectName: "viewerOverlays"

    PictureItem {
        objectName: "clippingMask"
        anchors.fill: parent
        radius: Zelv.radiusMd
        visible: root.ws.viewOptions.clipping
        image: root.ws.aids.clippingMask
    }
    PictureItem {
        objectName: "peakingMask"
        anchors.fill: parent
        radius: Zelv.radiusMd
        visible: root.ws.viewOptions.peaking && root.ws.monitor.directorModeOn
        image: root.ws.aids.peakingMask
    }
    Item {
        objectName: "thirdsGrid"
        anchors.fill: parent
        visible: root.ws.viewOptions.grid

        Repeater {
            model: 2
            Rectangle {
                required property int index
                x: parent.width * (index + 1) / 3 - width / 2
                width: root.lineWidth
                height: parent.height
                color: Zelv.neutral100
                opacity: 0.55
            }
        }
        Repeater {
            model: 2
            Rectangle {
                required property int index
                y: parent.height * (index + 1) / 3 - height / 2
                width: parent.width
                height: root.lineWidth
                color: Zelv.neutral100
                opacity: 0.55
            }
        }
    }
}
