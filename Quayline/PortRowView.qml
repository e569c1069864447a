pragma ComponentBehavior: Bound

import QtQuick
import QtQuick.Controls
import QtQuick.Layouts
import Quayline

// One socket of the list. Its only state is the hover flag; the stop button's
// stage comes from the model, so every row of one process changes together.
// Whether it is the selected row is the panel's to say.
Item {
    id: root

    required property PortListViewModel viewModel
    required property portEntry entry
    property bool selected: false

    // The unit or container behind the row, from the list model: the stop
    // it offers ("Stop Service", "Stop Container" or ""), whether it would
    // start the process again after Kill, whether its stop is under way, and
    // what the row says of its port after such a stop.
    property string keeperAction: ""
    property bool keeperRestarts: false
    property bool keeperBusy: false
    property string note: ""
    // When this program first saw the row (null: when it started), whether it
    // appeared a moment ago, and whether it went: then it lingers, dimmed,
    // and stops nothing.
    property var firstSeen: null
    property bool isNew: false
    property bool isClosed: false

    // A left click asks to select the row, a right click for its menu (at x, y).
    signal selectRequested()
    signal contextMenuRequested(real x, real y)
    // The keeper's stop, to be confirmed by the panel.
    signal keeperStopRequested()

    readonly property bool isHovering: hover.hovered
    // The list model's stopStage of the row: "Force" exactly when the next
    // press sends SIGKILL to the process the row lists.
    property string stopStage: "Kill"
    readonly property bool termSent: stopStage === "Force"

    // A port of another user, of the container engine, or of no certain
    // process is not stopped here: its button says why and what would stop
    // it (where anything safe would), and does nothing.
    property string stopRefusal: ""
    property string stopCommand: ""
    readonly property bool stopElsewhere: stopRefusal !== ""
    readonly property string stopToolTip: viewModel.stopToolTip(entry, stopStage, stopRefusal, stopCommand)

    implicitWidth: row.implicitWidth + 24
    implicitHeight: row.implicitHeight + 16

    opacity: isClosed ? Theme.closedOpacity : 1

    Accessible.role: Accessible.ListItem
    Accessible.name: isClosed ? qsTr("%1, closed").arg(viewModel.accessibleName(entry))
                     : isNew ? qsTr("%1, new").arg(viewModel.accessibleName(entry))
                     : viewModel.accessibleName(entry)
    Accessible.description: note || viewModel.commandLineShown(entry.process) || viewModel.rowName(entry)
    Accessible.selectable: true
    Accessible.selected: selected

    // Hovering anywhere on the row, insets and gaps included, highlights all of it.
    HoverHandler {
        id: hover
    }
    TapHandler {
        onTapped: root.selectRequested()
    }
    TapHandler {
        acceptedButtons: Qt.RightButton
        onTapped: eventPoint => root.contextMenuRequested(eventPoint.position.x, eventPoint.position.y)
    }

    // Fades out rather than vanishing, so that the eye catches which row it was.
    Rectangle {
        objectName: "newFill"
        anchors.fill: parent
        color: Theme.newFill
        opacity: root.isNew ? 1 : 0
        Behavior on opacity {
            NumberAnimation { duration: 1500 }
        }
    }

    Rectangle {
        objectName: "hoverFill"
        anchors.fill: parent
        color: root.selected ? Theme.selectionFill : root.isHovering ? Theme.hoverFill : "transparent"
    }

    RowLayout {
        id: row
        anchors.fill: parent
        anchors.leftMargin: 12
        anchors.rightMargin: 12
        anchors.topMargin: 8
        anchors.bottomMargin: 8
        spacing: 10

        Label {
            objectName: "port"
            Layout.preferredWidth: 58
            Layout.minimumWidth: 58
            Layout.maximumWidth: 58
            // A number is data: plain digits, never looked up or grouped.
            // qint64 is unknown to the Qt 6.4 linter; at run time it is a plain number.
            text: String(root.entry.port) // qmllint disable type
            textFormat: Text.PlainText
            font.family: Theme.monospaceFamily
            font.pixelSize: Theme.bodySize
            font.weight: Font.DemiBold
            color: Theme.primary
            horizontalAlignment: Text.AlignLeft
        }

        // As wide as its content, narrower when the row lacks room: then the
        // process name gives way, cut with an ellipsis.
        ColumnLayout {
            spacing: 3
            Layout.fillWidth: true
            Layout.minimumWidth: 0
            Layout.maximumWidth: Math.ceil(implicitWidth)

            RowLayout {
                spacing: 6
                Layout.fillWidth: true
                Layout.minimumWidth: 0
                Label {
                    objectName: "processName"
                    Layout.fillWidth: true
                    Layout.minimumWidth: 0
                    // Whole pixels: the layout rounds, and a fraction short
                    // would already cut the name.
                    Layout.preferredWidth: Math.ceil(implicitWidth)
                    Layout.maximumWidth: Math.ceil(implicitWidth)
                    // Another user's port without a certain process: who holds it.
                    text: root.viewModel.rowName(root.entry)
                    textFormat: Text.PlainText
                    elide: Text.ElideRight
                    maximumLineCount: 1
                    font: Theme.body
                    color: Theme.primary

                    HoverHandler {
                        id: nameHover
                    }
                    ToolTipArea {
                        objectName: "identityToolTip"
                        shown: nameHover.hovered
                        // Read again at each hover, so "Started … ago" is current.
                        text: nameHover.hovered ? root.viewModel.identityText(root.entry) + "\n"
                                                  + root.viewModel.firstSeenText(root.firstSeen) : ""
                    }
                }
                Badge {
                    objectName: "protocolBadge"
                    text: root.entry.networkProtocol
                    tint: root.entry.networkProtocol === "TCP" ? Theme.blue : Theme.purple
                    font.pixelSize: 9
                    font.bold: true
                    fillOpacity: 0.18
                    radius: 4
                }
            }

            // The owner, unit or container beside the pid can be long: cut
            // like the name, and whole in its tooltip.
            RowLayout {
                spacing: 8
                Label {
                    id: pidLabel
                    objectName: "pid"
                    Layout.fillWidth: true
                    Layout.minimumWidth: 0
                    Layout.preferredWidth: Math.ceil(implicitWidth)
                    Layout.maximumWidth: Math.ceil(implicitWidth)
                    text: root.viewModel.pidLine(root.entry)
                    textFormat: Text.PlainText
                    elide: Text.ElideRight
                    maximumLineCount: 1
                    font.family: Theme.monospaceFamily
                    font.pixelSize: Theme.captionSize
                    color: Theme.secondary

                    HoverHandler {
                        id: pidHover
                    }
                    ToolTipArea {
                        objectName: "pidToolTip"
                        shown: pidHover.hovered && pidLabel.truncated
                        text: pidLabel.text
                    }
                }
                Badge {
                    objectName: "stateBadge"
                    visible: root.entry.state !== ""
                    text: root.entry.state
                    tint: Theme.green
                    font.pixelSize: 9
                    font.weight: Font.DemiBold
                    fillOpacity: 0.15
                    radius: height / 2
                }
                Label {
                    objectName: "ipVersion"
                    text: root.entry.ipVersion
                    textFormat: Text.PlainText
                    font: Theme.caption2
                    color: Theme.tertiary
                }
            }

            Label {
                objectName: "note"
                visible: root.note !== ""
                Layout.fillWidth: true
                Layout.minimumWidth: 0
                text: root.note
                textFormat: Text.PlainText
                wrapMode: Text.Wrap
                font: Theme.caption
                color: Theme.orange
            }
        }

        Item {
            Layout.fillWidth: true
            Layout.minimumWidth: 4
        }

        // Where Kill alone would not free the port, the keeper's stop beside
        // it. Not a stop for Tab either: the row menu has the same action.
        AbstractButton {
            id: keeperButton
            objectName: "keeperButton"
            visible: root.keeperRestarts
            enabled: !root.keeperBusy && !root.isClosed
            hoverEnabled: true
            focusPolicy: Qt.NoFocus
            leftPadding: 4
            rightPadding: 4
            topPadding: 2
            bottomPadding: 2
            text: root.keeperBusy ? qsTr("Stopping…") : root.keeperAction
            font.pixelSize: Theme.captionSize
            font.weight: Font.DemiBold
            Accessible.role: Accessible.Button
            Accessible.name: text
            Accessible.description: root.viewModel.keeperRestartHint(root.entry)
            contentItem: Label {
                text: keeperButton.text
                font: keeperButton.font
                color: root.keeperBusy ? Theme.tertiary : Theme.tint
                horizontalAlignment: Text.AlignHCenter
                verticalAlignment: Text.AlignVCenter
            }
            background: Rectangle {
                radius: 4
                color: keeperButton.down ? Theme.pressedFill : "transparent"
            }
            ToolTipArea {
                shown: keeperButton.hovered
                text: keeperButton.Accessible.description
            }
            onClicked: root.keeperStopRequested()
        }

        // Not a stop for Tab: the keyboard reaches the rows through the
        // panel's selection (arrows, then Return), one stop for the whole list.
        AbstractButton {
            id: stopButton
            objectName: "stopButton"
            enabled: !root.isClosed
            hoverEnabled: true
            focusPolicy: Qt.NoFocus
            implicitWidth: 38
            leftPadding: 0
            rightPadding: 0
            topPadding: 2
            bottomPadding: 2
            text: root.termSent ? qsTr("Force") : qsTr("Kill")
            font.pixelSize: Theme.captionSize
            font.weight: Font.DemiBold
            Accessible.role: Accessible.Button
            Accessible.name: text
            Accessible.description: root.stopToolTip
            contentItem: Label {
                text: stopButton.text
                font: stopButton.font
                color: root.termSent ? Theme.red : root.stopElsewhere ? Theme.tertiary : Theme.secondary
                horizontalAlignment: Text.AlignHCenter
                verticalAlignment: Text.AlignVCenter
            }
            background: Rectangle {
                radius: 4
                color: stopButton.down ? Theme.pressedFill : "transparent"
            }
            // Its own tooltip, bound to the stage: the shared one keeps the
            // text it had when the pointer arrived, so a press within the delay
            // showed the SIGTERM text beside a red "Force".
            ToolTipArea {
                objectName: "stopToolTip"
                shown: stopButton.hovered
                text: root.stopToolTip
            }
            onClicked: {
                if (!root.stopElsewhere)
                    root.viewModel.stopProcess(root.entry)
            }
        }
    }
}
