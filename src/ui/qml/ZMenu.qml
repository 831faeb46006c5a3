import QtQuick
import QtQuick.Controls.Basic
import Halvane.Ui

// The window's menus: the Basic menu, framed and coloured by the theme. Its items are ZMenuItems.
Menu {
    id: menu

    padding: 4
    // At least 200 wide, and as wide as its widest item: Menu itself stops at its background's.
    width: {
        let widest = 0;
        for (let i = 0; i < menu.count; ++i)
            widest = Math.max(widest, menu.itemAt(i).implicitWidth);
        return Math.max(implicitWidth, widest + leftPadding + rightPadding);
    }
    background: Rectangle {
        implicitWidth: 200
        color: Zelv.neutral900
        radius: Zelv.radiusMd
        border.color: Zelv.divider
        border.width: 1
    }
}
