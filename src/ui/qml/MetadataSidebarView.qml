import QtQuick
import QtQuick.Layouts
import Halvane.Ui

// The selected photo's exposure settings and file facts, "—" throughout without a photo.
Item {
    id: root
    required property WindowState ws
    readonly property PhotoDetails photo: ws.details

    objectName: "metadataSidebar"
    implicitWidth: 236

    component SectionHeader: Text {
        required property string title
        text: title.toUpperCase()
        font.pixelSize: 10
        font.weight: Font.DemiBold
        color: Zelv.accent300
    }

    // Label on the left, value on the right; a long value wraps onto right-aligned lines
    // inside the column instead of widening it.
    component MetaRow: RowLayout {
        id: metaRow
        required property string label
        required property string value
        property bool unsaved: false

        objectName: "row:" + label
        Layout.fillWidth: true
        spacing: 8

        Text {
            text: metaRow.label
            font.pixelSize: 12
            color: Zelv.text
            opacity: 0.6
            Layout.alignment: Qt.AlignVCenter
        }
        Text {
            objectName: "value"
            text: metaRow.value
            font.pointSize: 12.5 * 0.75 // fractional sizes: 72 pt per 96 logical pixels
            font.weight: Font.Medium
            color: Zelv.text
            wrapMode: Text.WrapAtWordBoundaryOrAnywhere
            horizontalAlignment: Text.AlignRight
            Layout.fillWidth: true
            Layout.alignment: Qt.AlignVCenter
        }
        UnsavedMark {
            visible: metaRow.unsaved
            Layout.alignment: Qt.AlignVCenter
        }
    }

    ColumnLayout {
        anchors.fill: parent
        anchors.topMargin: 18
        anchors.bottomMargin: 18
        anchors.leftMargin: 16
        anchors.rightMargin: 16
        spacing: 14

        SectionHeader {
            title: "Ajustes de cámara"
        }
        ColumnLayout {
            Layout.fillWidth: true
            spacing: 9
            MetaRow { label: "Obturador"; value: root.photo.shutter }
            MetaRow { label: "Apertura"; value: root.photo.aperture }
            MetaRow { label: "ISO"; value: root.photo.iso }
            MetaRow { label: "Exposición"; value: root.photo.exposure }
            MetaRow { label: "Balance de blancos"; value: root.photo.wb }
        }
        Rectangle {
            objectName: "fadeDivider"
            Layout.fillWidth: true
            implicitHeight: 1
            gradient: Gradient {
                orientation: Gradient.Horizontal
                GradientStop { position: 0.0; color: "transparent" }
                GradientStop { position: 1 / 3; color: Zelv.divider }
                GradientStop { position: 2 / 3; color: Zelv.divider }
                GradientStop { position: 1.0; color: "transparent" }
            }
        }
        SectionHeader {
            title: "Archivo"
        }
        ColumnLayout {
            Layout.fillWidth: true
            spacing: 9
            MetaRow { label: "Nombre"; value: root.photo.filename; unsaved: root.photo.unsaved }
            MetaRow { label: "Hora"; value: root.photo.time }
            MetaRow { label: "Lente"; value: root.photo.lens }
            MetaRow { label: "Tamaño"; value: root.photo.size }
            MetaRow { label: "Dimensiones"; value: root.photo.dimensions }
        }
        HistogramView {
            ws: root.ws
            Layout.fillWidth: true
        }
        Item {
            Layout.fillHeight: true
        }
    }
}
