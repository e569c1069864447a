pragma ComponentBehavior: Bound

import QtQuick
import QtQuick.Controls
import QtQuick.Layouts
import Quayline

// The panel behind the tray icon: header with the count and the refresh
// button, the filter field, the list (or why there is none), and the footer.
// It holds no data of its own beyond the refresh glyph's angle.
Item {
    id: root

    required property PortListViewModel viewModel

    // Rotation of the refresh glyph, in degrees clockwise.
    property real spinAngle: 0

    // What the content area shows: "error", "loading", "empty", "noMatch" or "list".
    readonly property string content: {
        const vm = root.viewModel
        if (root.isPresent(vm.lastScanError))
            return "error"
        if (vm.isLoading && vm.entries.length === 0)
            return "loading"
        if (vm.filteredModel.count === 0)
            return vm.searchText === "" ? "empty" : "noMatch"
        return "list"
    }

    // Set while the panel is on screen: only changes of the loading flag seen
    // then turn the refresh glyph.
    property bool onScreen: false

    signal settingsRequested()

    // Called by the application each time the panel is shown: scan, then
    // restart the auto-refresh timer. A scan already under way when the panel
    // opens does not turn the glyph.
    function shown() {
        root.stopSpinning()
        root.onScreen = true
        root.viewModel.refreshAndRestartTimer()
    }

    function isPresent(value) {
        return value !== undefined && value !== null
    }

    function stopSpinning() {
        spin.stop()
        settle.stop()
        root.spinAngle = 0
    }

    width: 380
    height: 460
    implicitWidth: 380
    implicitHeight: 460

    NumberAnimation {
        id: spin
        objectName: "spinAnimation"
        target: root
        property: "spinAngle"
        to: 360
        duration: 800
        easing.type: Easing.Linear
        loops: Animation.Infinite
    }
    NumberAnimation {
        id: settle
        target: root
        property: "spinAngle"
        to: 0
        duration: 200
        easing.type: Easing.Linear
    }
    Connections {
        target: root.viewModel
        function onIsLoadingChanged() {
            if (!root.onScreen)
                return
            if (root.viewModel.isLoading) {
                settle.stop()
                spin.from = root.spinAngle
                spin.restart()
            } else {
                spin.stop()
                settle.from = root.spinAngle
                settle.restart()
            }
        }
        function onKillErrorChanged() {
            alert.follow()
        }
    }
    Connections {
        target: root.Window.window
        function onVisibleChanged() {
            if (!root.Window.window.visible) {
                root.onScreen = false
                root.stopSpinning()
            }
        }
    }

    Rectangle {
        anchors.fill: parent
        color: Theme.background
    }

    ColumnLayout {
        anchors.fill: parent
        spacing: 0

        RowLayout {
            Layout.fillWidth: true
            Layout.leftMargin: 12
            Layout.rightMargin: 12
            Layout.topMargin: 10
            Layout.bottomMargin: 10
            spacing: 8

            Icon {
                symbol: "powerplug.fill"
                color: Theme.tint
            }
            Label {
                text: qsTr("Quayline")
                font: Theme.headline
                color: Theme.primary
            }
            Item {
                Layout.fillWidth: true
            }
            Label {
                objectName: "entryCount"
                // A number is data: plain digits, never looked up or grouped.
                text: String(root.viewModel.filteredModel.count)
                textFormat: Text.PlainText
                font.family: Theme.monospaceFamily
                font.pixelSize: Theme.captionSize
                color: Theme.secondary
            }
            PlainButton {
                objectName: "refreshButton"
                symbol: "arrow.clockwise"
                symbolRotation: root.spinAngle
                toolTip: qsTr("Refresh now")
                onClicked: root.viewModel.refreshNow()
            }
        }

        Divider {
            Layout.fillWidth: true
        }

        RowLayout {
            Layout.fillWidth: true
            Layout.leftMargin: 12
            Layout.rightMargin: 12
            Layout.topMargin: 8
            Layout.bottomMargin: 8
            spacing: 6

            Icon {
                symbol: "magnifyingglass"
                color: Theme.secondary
            }
            TextField {
                id: filterField
                objectName: "filterField"
                Layout.fillWidth: true
                placeholderText: qsTr("Filter by port or process")
                placeholderTextColor: Theme.tertiary
                color: Theme.primary
                font: Theme.body
                padding: 0
                background: null
                text: root.viewModel.searchText
                onTextEdited: root.viewModel.searchText = text
            }
            PlainButton {
                objectName: "clearButton"
                visible: root.viewModel.searchText !== ""
                symbol: "xmark.circle.fill"
                color: Theme.secondary
                onClicked: root.viewModel.searchText = ""
            }
        }

        Divider {
            Layout.fillWidth: true
        }

        Item {
            objectName: "contentArea"
            Layout.fillWidth: true
            Layout.fillHeight: true

            MessageView {
                objectName: "errorView"
                anchors.fill: parent
                visible: root.content === "error"
                symbol: "exclamationmark.triangle"
                symbolColor: Theme.orange
                message: visible ? root.viewModel.lastScanError : ""
            }

            Item {
                objectName: "loadingView"
                anchors.fill: parent
                visible: root.content === "loading"
                Column {
                    anchors.verticalCenter: parent.verticalCenter
                    width: parent.width
                    spacing: 10
                    BusyIndicator {
                        running: parent.visible
                        anchors.horizontalCenter: parent.horizontalCenter
                    }
                    Label {
                        text: qsTr("Scanning ports…")
                        font: Theme.callout
                        color: Theme.secondary
                        anchors.horizontalCenter: parent.horizontalCenter
                    }
                }
            }

            MessageView {
                objectName: "emptyView"
                anchors.fill: parent
                visible: root.content === "empty"
                symbol: "powerplug"
                message: qsTr("Nothing is listening")
            }

            MessageView {
                objectName: "noMatchView"
                anchors.fill: parent
                visible: root.content === "noMatch"
                symbol: "magnifyingglass"
                // The filter text as typed; one placeholder, so a "%1" typed into
                // the filter is shown as it stands.
                message: qsTr("No ports match “%1”").arg(root.viewModel.searchText)
            }

            ListView {
                id: list
                objectName: "portList"
                anchors.fill: parent
                visible: root.content === "list"
                clip: true
                boundsBehavior: Flickable.StopAtBounds
                model: root.viewModel.filteredModel
                ScrollBar.vertical: ScrollBar {
                    policy: ScrollBar.AsNeeded
                }
                delegate: Column {
                    id: listRow
                    required property portEntry entry
                    width: ListView.view.width

                    PortRowView {
                        objectName: "portRow"
                        width: parent.width
                        viewModel: root.viewModel
                        entry: listRow.entry
                    }
                    Divider {
                        width: parent.width
                    }
                }
            }
        }

        Divider {
            Layout.fillWidth: true
        }

        RowLayout {
            Layout.fillWidth: true
            Layout.leftMargin: 12
            Layout.rightMargin: 12
            Layout.topMargin: 8
            Layout.bottomMargin: 8

            PlainButton {
                objectName: "settingsLink"
                symbol: "gearshape"
                symbolSize: 14
                text: qsTr("Settings")
                font: Theme.callout
                color: Theme.tint
                onClicked: root.settingsRequested()
            }
            Item {
                Layout.fillWidth: true
            }
            PlainButton {
                objectName: "quitButton"
                symbol: "power"
                symbolSize: 14
                text: qsTr("Quit")
                font: Theme.callout
                color: Theme.red
                onClicked: Qt.quit()
            }
        }
    }

    // The stop-failure alert. Each message has its own id: a new id shows a new
    // alert, and dismissing the one shown clears the model's message.
    Dialog {
        id: alert
        objectName: "stopFailureAlert"

        property string messageId: ""
        property string message: ""

        function follow() {
            const error = root.viewModel.killError
            if (!root.isPresent(error)) {
                messageId = ""
                close()
                return
            }
            if (error.id === messageId)
                return
            messageId = error.id
            message = error.text
            open()
        }

        parent: Overlay.overlay
        anchors.centerIn: parent
        width: Math.min(300, root.width - 40)
        modal: true
        focus: true
        padding: 12
        closePolicy: Popup.CloseOnEscape
        title: qsTr("Unable to Stop Process")

        background: Rectangle {
            color: Theme.background
            border.color: Theme.separator
            radius: 8
        }
        header: Label {
            text: alert.title
            font: Theme.headline
            color: Theme.primary
            leftPadding: 12
            rightPadding: 12
            topPadding: 12
        }
        contentItem: Label {
            objectName: "alertMessage"
            focus: true
            text: alert.message
            textFormat: Text.PlainText
            wrapMode: Text.WrapAtWordBoundaryOrAnywhere
            font: Theme.body
            color: Theme.primary
            Keys.onReturnPressed: alert.accept()
            Keys.onEnterPressed: alert.accept()
        }

        footer: Item {
            implicitHeight: okButton.implicitHeight + 24
            Button {
                id: okButton
                objectName: "alertOk"
                anchors.right: parent.right
                anchors.rightMargin: 12
                anchors.verticalCenter: parent.verticalCenter
                text: qsTr("OK")
                highlighted: true
                onClicked: alert.accept()
            }
        }

        onClosed: {
            const error = root.viewModel.killError
            if (messageId !== "" && root.isPresent(error) && error.id === messageId) {
                messageId = ""
                root.viewModel.killError = null
            }
        }
    }

    Component.onCompleted: alert.follow()
}
