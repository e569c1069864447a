pragma ComponentBehavior: Bound

import QtQuick

// A plain-text tooltip over its parent, made the first time it is wanted:
// rows are built and dropped as the list scrolls and filters, and most are
// never pointed at. Its text is bound, so it always says what it is given,
// also while it waits out its delay.
Item {
    id: area

    property string text
    property bool shown: false
    property PlainToolTip tip: null

    anchors.fill: parent

    Component {
        id: tipComponent
        PlainToolTip {
            objectName: area.objectName
            text: area.text
        }
    }

    onShownChanged: {
        if (area.shown && area.tip === null) {
            area.tip = tipComponent.createObject(area) as PlainToolTip
            // Bound after it exists, so that it opens after its delay.
            area.tip.visible = Qt.binding(() => area.shown)
        }
    }
}
