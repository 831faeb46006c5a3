import QtQuick
import Halvane.Ui

// The menu of a photo's file, for a tile and for the viewer: whoever opens it aims `actions` at
// the photo first. Both items wait until the file is stored in the capture folder.
ZMenu {
    id: menu
    required property FileActions actions

    objectName: "fileMenu"

    ZMenuItem {
        objectName: "showInFolderItem"
        text: "Mostrar en la carpeta"
        enabled: menu.actions.available
        onTriggered: menu.actions.showInFolder()
    }
    ZMenuItem {
        objectName: "openWithItem"
        text: "Abrir con la aplicación predeterminada"
        enabled: menu.actions.available
        onTriggered: menu.actions.openWithDefault()
    }
}
