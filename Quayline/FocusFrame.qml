import QtQuick

// The ring around the control that has the keyboard's focus. It fills its
// parent and stands a little outside it, over what the parent draws.
Rectangle {
    objectName: "focusFrame"
    anchors.fill: parent
    anchors.margins: -2
    z: 1
    radius: 4
    color: "transparent"
    border.width: 2
    border.color: Theme.focusRing
}
