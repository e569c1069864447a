import QtQuick
import QtQuick.Controls

// A tooltip whose text is shown as it stands: names and command lines are
// data, and data is never read as markup. Long lines wrap within the window.
ToolTip {
    id: tip

    delay: 600
    width: Math.min(implicitWidth, 360)

    contentItem: Label {
        objectName: "toolTipText"
        text: tip.text
        textFormat: Text.PlainText
        wrapMode: Text.WrapAtWordBoundaryOrAnywhere
        font: Theme.callout
        color: tip.palette.toolTipText
    }
}
