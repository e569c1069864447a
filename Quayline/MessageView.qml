import QtQuick
import QtQuick.Controls

// A glyph over a centred message, filling the content area. The message is
// shown as it stands: it is data or an error text, never rich text.
Item {
    id: root

    property string symbol
    property color symbolColor: Theme.secondary
    property string message
    // A button under the message where set.
    property string actionText
    property string actionToolTip

    signal actionTriggered()

    Column {
        anchors.verticalCenter: parent.verticalCenter
        width: parent.width
        spacing: 10
        Icon {
            symbol: root.symbol
            size: 28
            color: root.symbolColor
            anchors.horizontalCenter: parent.horizontalCenter
        }
        Label {
            objectName: "message"
            x: 24
            width: parent.width - 48
            text: root.message
            textFormat: Text.PlainText
            wrapMode: Text.WrapAtWordBoundaryOrAnywhere
            horizontalAlignment: Text.AlignHCenter
            font: Theme.callout
            color: Theme.secondary
        }
        PlainButton {
            objectName: "action"
            visible: root.actionText !== ""
            text: root.actionText
            toolTip: root.actionToolTip
            anchors.horizontalCenter: parent.horizontalCenter
            onClicked: root.actionTriggered()
        }
    }
}
