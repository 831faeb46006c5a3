import QtQuick
import QtQuick.Controls.Basic
import Halvane.Ui

// The switches of the viewer's aids, a small bar in a corner of the viewer area: clipping
// warnings, focus peaking and the grid, each lit while on. Peaking works on live view only:
// outside director mode its switch is dimmed and does not respond.
Rectangle {
    id: root
    required property WindowState ws

    objectName: "aidToggles"
    implicitWidth: row.implicitWidth + 8
    implicitHeight: row.implicitHeight + 8
    radius: Zelv.radiusMd
    color: Zelv.bgTranslucent
    border.color: Zelv.divider
    border.width: 1

    component AidToggle: Button {
        id: toggle
        required property string iconName
        required property string help
        required property bool lit

        objectName: "toggle:" + iconName
        implicitWidth: 28
        implicitHeight: 28
        padding: 0
        flat: true
        opacity: enabled ? 1.0 : 0.45
        background: Rectangle {
            radius: Zelv.radiusSm + 2
            color: toggle.lit ? Zelv.accent800 : (toggle.hovered ? Zelv.neutral800 : "transparent")
        }
        contentItem: Item {
            SvgIcon {
                anchors.centerIn: parent
                width: 16
                height: 16
                name: toggle.iconName
                color: toggle.lit ? Zelv.accent200 : Zelv.neutral400
            }
        }
        HelpTip {
            text: toggle.help
        }
    }

    Row {
        id: row
        anchors.centerIn: parent
        spacing: 2

        AidToggle {
            iconName: "clipping"
            help: "Avisos de recorte"
            lit: root.ws.viewOptions.clipping
            onClicked: root.ws.viewOptions.toggleClipping()
        }
        AidToggle {
            iconName: "peaking"
            help: "Realce de enfoque"
            lit: root.ws.viewOptions.peaking
            enabled: root.ws.monitor.directorModeOn
            onClicked: root.ws.viewOptions.togglePeaking()
        }
        AidToggle {
            iconName: "grid"
            help: "Cuadrícula"
            lit: root.ws.viewOptions.grid
            onClicked: root.ws.viewOptions.toggleGrid()
        }
    }
}
