import QtQuick
import Halvane.Ui

// The histogram of the image in the viewer, 80 high in a thin frame; the frame stays empty while
// the viewer shows no image.
Rectangle {
    id: root
    required property WindowState ws

    objectName: "histogram"
    implicitHeight: 80
    radius: Zelv.radiusSm
    color: Zelv.neutral900
    border.color: Zelv.divider
    border.width: 1

    HistogramItem {
        objectName: "histogramCurves"
        anchors.fill: parent
        anchors.margins: 1
        source: root.ws.aids
    }
}
