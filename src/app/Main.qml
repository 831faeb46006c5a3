import QtQuick
import QtQuick.Window

Window {
    width: 1180
    height: 620
    minimumWidth: 860
    minimumHeight: 480
    visible: true
    title: "Halvane"
    color: "#141416"
}
