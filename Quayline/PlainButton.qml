import QtQuick
import QtQuick.Controls

// A borderless button: only its glyph and text are drawn, with a faint fill
// while pressed.
AbstractButton {
    id: control

    property string symbol
    property real symbolSize: Theme.iconSize
    property real symbolRotation: 0
    property color color: Theme.primary
    property string toolTip

    hoverEnabled: true
    padding: 2
    font: Theme.body

    contentItem: Row {
        spacing: 4
        Icon {
            symbol: control.symbol
            size: control.symbolSize
            color: control.color
            rotation: control.symbolRotation
            visible: control.symbol !== ""
            anchors.verticalCenter: parent.verticalCenter
        }
        Label {
            text: control.text
            font: control.font
            color: control.color
            visible: control.text !== ""
            anchors.verticalCenter: parent.verticalCenter
        }
    }
    background: Rectangle {
        radius: 4
        color: control.down ? Theme.pressedFill : "transparent"
    }

    ToolTip.visible: toolTip !== "" && hovered
    ToolTip.text: toolTip
    ToolTip.delay: 600
}
