import QtQuick
import QtQuick.Controls

// A short text on a pale fill of its own colour.
Label {
    id: badge

    property color tint: Theme.blue
    property real fillOpacity: 0.18
    property real radius: 4

    leftPadding: 5
    rightPadding: 5
    topPadding: 1
    bottomPadding: 1
    textFormat: Text.PlainText
    color: tint
    background: Rectangle {
        radius: badge.radius
        color: Qt.rgba(badge.tint.r, badge.tint.g, badge.tint.b, badge.fillOpacity)
    }
}
