import QtQuick
import QtQuick.Layouts
import Halvane.Ui

// While the client view is on: a card in the window's lower right corner with the page's
// address, its QR code and the access code, the number of viewers and the downloads switch.
// "Ocultar" puts it away; the context menu brings it back.
Rectangle {
    id: card
    required property WindowState ws
    readonly property ShareService share: card.ws.share

    objectName: "shareCard"
    visible: card.share !== null && card.share.on && card.share.cardShown
    anchors.right: parent.right
    anchors.bottom: parent.bottom
    anchors.margins: 16
    width: 260
    height: column.implicitHeight + 2 * column.anchors.margins
    color: Zelv.surface
    radius: Zelv.radiusLg
    border.color: Zelv.divider
    border.width: 1

    // Clicks on the card stay on it.
    MouseArea {
        anchors.fill: parent
        acceptedButtons: Qt.AllButtons
    }

    ColumnLayout {
        id: column
        anchors.fill: parent
        anchors.margins: 16
        spacing: 8

        Text {
            text: "Vista para clientes"
            font: Zelv.headingFont
            color: Zelv.text
        }
        Text {
            text: card.share && card.share.address !== "" ? "Escanea el código o abre la dirección en el móvil o la tableta."
                                                          : "Preparando…"
            font.pixelSize: 11
            color: Zelv.neutral500
            wrapMode: Text.WordWrap
            Layout.fillWidth: true
        }
        QrCodeItem {
            objectName: "shareQr"
            text: card.share ? card.share.address : ""
            color: Zelv.bg
            background: Zelv.text
            visible: text !== ""
            Layout.preferredWidth: 164
            Layout.preferredHeight: 164
            Layout.alignment: Qt.AlignHCenter
        }
        Text {
            objectName: "shareAddress"
            text: card.share ? card.share.address : ""
            font.pixelSize: 12
            font.family: "monospace"
            color: Zelv.accent300
            Layout.alignment: Qt.AlignHCenter
        }
        RowLayout {
            Layout.fillWidth: true
            Text {
                text: "Código de acceso"
                font.pixelSize: 12
                color: Zelv.neutral500
                Layout.fillWidth: true
            }
            Text {
                objectName: "shareCode"
                text: card.share ? card.share.code : ""
                font.pixelSize: 20
                font.weight: Font.DemiBold
                font.family: "monospace"
                font.letterSpacing: 2
                color: Zelv.text
            }
        }
        Text {
            text: !card.share || card.share.viewers === 0 ? "Nadie conectado"
                : card.share.viewers === 1 ? "1 persona conectada" : card.share.viewers + " personas conectadas"
            font.pixelSize: 12
            color: Zelv.neutral500
        }
        RowLayout {
            Layout.fillWidth: true
            Text {
                text: "Permitir descargar originales"
                font.pixelSize: 12
                color: Zelv.text
                Layout.fillWidth: true
            }
            ZSwitch {
                objectName: "shareDownloads"
                checked: card.share ? card.share.downloadsAllowed : false
                onToggled: card.share.downloadsAllowed = checked
            }
        }
        BorderedButton {
            text: "Ocultar"
            Layout.alignment: Qt.AlignRight
            contentItem: Text {
                text: "Ocultar"
                font.pixelSize: 12
                color: Zelv.text
            }
            onClicked: card.share.cardShown = false
        }
    }
}
