import QtQuick
import QtQuick.Controls

// A borderless button: only its glyph and text are drawn, with a faint fill
// while pressed. Tab reaches it and rings it; a click does not take the focus,
// so typing goes on into the filter after a press.
AbstractButton {
    id: control

    property string symbol
    property real symbolSize: Theme.iconSize
    property real symbolRotation: 0
    property color color: Theme.primary
    property string toolTip
    // What a screen reader says; icon-only buttons need one of their own.
    property string accessibleName: text !== "" ? text : toolTip
    property string accessibleDescription: toolTip

    hoverEnabled: true
    focusPolicy: Qt.TabFocus
    padding: 2
    font: Theme.body

    Accessible.role: Accessible.Button
    Accessible.name: accessibleName
    Accessible.description: accessibleDescription

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

    FocusFrame {
        visible: control.visualFocus
    }

    ToolTip.visible: toolTip !== "" && hovered
    ToolTip.text: toolTip
    ToolTip.delay: 600
}
