import QtQuick
import QtTest
import Quayline
import QuaylineTest

// The views under test go into this item; the test case itself is never shown.
Item {
    id: scene
    width: 380
    height: 460

    TestCase {
        name: "Views"
        when: windowShown

        Component {
            id: popoverComponent
            PopoverView {}
        }

        Component {
            id: settingsComponent
            SettingsView {}
        }

        TextMetrics {
            id: metrics
        }

        function init() {
            Fixture.reset()
        }

        // A panel, shown, whose first scan found these entries (and this error).
        function makePopover(entries, error) {
            const popover = createTemporaryObject(popoverComponent, scene, { viewModel: Fixture.newModel() })
            popover.shown()
            Fixture.finishScan(entries, error)
            return popover
        }

        function makeSettings(loginItem) {
            return createTemporaryObject(settingsComponent, scene, { viewModel: Fixture.newModel(), loginItem: loginItem })
        }

        function child(item, name) {
            const found = findChild(item, name)
            verify(found !== null, "no child " + name)
            return found
        }

        function rows(popover) {
            const list = child(popover, "portList")
            list.forceLayout()
            return Array.from({ length: list.count }, (_, i) => findChild(list.itemAtIndex(i), "portRow"))
        }

        function entry(pid, name, port, protocol) {
            return { pid: pid, processName: name, port: port, networkProtocol: protocol || "TCP" }
        }

        // Which one of the five contents shows for each mix of scan error, scan
        // under way, entries and filter: the first rule that holds wins.
        function test_content_data() {
            const two = [entry(10, "nginx", 80), entry(11, "redis-server", 6379)]
            const lsof = "Could not find lsof at /usr/bin/lsof."
            const row = (tag, error, loading, entries, filter, view, message, count) =>
                ({ tag, error, loading, entries, filter, view, message, count })
            return [
                row("nothing listening", null, false, [], "", "emptyView", "Nothing is listening", "0"),
                row("filter, no entries", null, false, [], "ngi", "noMatchView", "No ports match “ngi”", "0"),
                row("filter kept as typed", null, false, two, " NoSuch ", "noMatchView", "No ports match “ NoSuch ”", "0"),
                row("filter narrows", null, false, two, "redis", "portList", undefined, "1"),
                row("first scan under way", null, true, [], "", "loadingView", undefined, "0"),
                row("first scan under way, filter", null, true, [], "zz", "loadingView", undefined, "0"),
                row("rescan keeps the list", null, true, two, "", "portList", undefined, "2"),
                row("scan error while rescanning, filter", lsof, true, [], "zz", "errorView", lsof, "0"),
                row("scan error beside entries", lsof, false, two, "", "errorView", lsof, "2"),
                row("empty error text", "", false, [], "", "errorView", "", "0"),
            ]
        }

        function test_content(data) {
            const popover = makePopover(data.entries, data.error)
            popover.viewModel.searchText = data.filter
            if (data.loading)
                popover.viewModel.refreshNow()
            const shown = ["errorView", "loadingView", "emptyView", "noMatchView", "portList"]
                .filter(name => child(popover, name).visible)
            compare(shown, [data.view])
            if (data.message !== undefined)
                compare(findChild(child(popover, data.view), "message").text, data.message)
            compare(child(popover, "entryCount").text, data.count)
        }

        function test_typedFilterAndClearButton() {
            const popover = makePopover([entry(1, "nginx", 80), entry(2, "postgres", 5432), entry(3, "redis", 6379)])
            const clear = child(popover, "clearButton")
            verify(!clear.visible)
            child(popover, "filterField").forceActiveFocus()
            for (const c of " 543")
                keyClick(c)
            compare(child(popover, "entryCount").text, "1")
            verify(clear.visible)
            keyClick("x")
            compare(findChild(child(popover, "noMatchView"), "message").text, "No ports match “ 543x”")

            mouseClick(clear)
            compare(child(popover, "filterField").text, "")
            verify(!clear.visible)
            compare(child(popover, "entryCount").text, "3")
        }

        function test_stopStageIsSharedByTheRowsOfOnePid() {
            const popover = makePopover([entry(42, "node", 3000), entry(7, "sshd", 22), entry(42, "node", 5353, "UDP")])
            const stage = () => rows(popover).map(row => child(row, "stopButton").text).join(" ")
            compare(stage(), "Kill Kill Kill")
            mouseClick(child(rows(popover)[1], "stopButton"))   // sshd, pid 7
            compare(Fixture.signalsSent(), [{ pid: 7, signal: 15 }])
            compare(stage(), "Kill Force Kill")
            mouseClick(child(rows(popover)[0], "stopButton"))   // node's TCP row
            compare(stage(), "Force Force Force")
            compare(rows(popover)[2].stopToolTip, "Process didn’t exit — send SIGKILL to PID 42")
            mouseClick(child(rows(popover)[2], "stopButton"))   // node's UDP row now forces
            compare(Fixture.signalsSent()[2], { pid: 42, signal: 9 })
            compare(stage(), "Kill Force Kill", "after SIGKILL the pid starts over")
        }

        function test_stopFailureAlert() {
            const popover = makePopover([entry(9, "cupsd", 631)])
            const model = popover.viewModel
            const alert = child(popover, "stopFailureAlert")
            Fixture.setKillResult(1)   // EPERM
            mouseClick(child(rows(popover)[0], "stopButton"))
            tryCompare(alert, "opened", true)
            compare(child(alert.contentItem.parent, "alertMessage").text,
                    "The system denied permission to stop this process.")
            // Another failure while it is open is a new message; dismissing clears that one.
            const firstId = model.killError.id
            model.stopProcess(rows(popover)[0].entry)
            verify(model.killError.id !== firstId)
            mouseClick(child(alert.footer, "alertOk"))
            tryCompare(alert, "visible", false)
            verify(model.killError === null || model.killError === undefined, "dismissing clears killError")
        }

        // Names show as the characters themselves, numbers without grouping.
        function test_rowTexts() {
            const name = "<b>x</b>&amp;"
            const row = rows(makePopover([entry(123456, name, 65535)]))[0]
            compare(child(row, "port").text, "65535")
            compare(child(row, "pid").text, "PID 123456")
            const label = child(row, "processName")
            metrics.font = label.font
            metrics.text = name
            // Read as markup it would shrink to "x&", a fraction of this.
            verify(label.contentWidth > 0.8 * metrics.advanceWidth, label.contentWidth + " vs " + metrics.advanceWidth)
        }

        // 10,000 entries: only the rows in view are built.
        function test_tenThousandEntries() {
            const popover = makePopover(Array.from({ length: 10000 }, (_, i) => entry(1000 + i, "proc" + i, 1000 + i)))
            const list = child(popover, "portList")
            list.forceLayout()
            compare(child(popover, "entryCount").text, "10000")
            verify(list.contentItem.children.length < 100, list.contentItem.children.length + " rows")
        }

        function test_intervalPickerFollowsAutoRefresh() {
            const view = makeSettings(Fixture.newLoginItem(false))
            const picker = child(view, "intervalPicker")
            const toggle = child(view, "autoRefreshSwitch")
            verify(!picker.enabled, "dimmed while auto-refresh is off")
            compare(picker.displayText, "Every 5 seconds", "still showing the interval")
            mouseClick(toggle)
            verify(view.viewModel.autoRefreshEnabled)
            verify(picker.enabled)
            mouseClick(toggle)
            verify(!picker.enabled)
        }

        // A file where the autostart folder should be: the toggle snaps back and
        // the system's message shows in red.
        function test_launchAtLoginSnapsBackOnFailure() {
            const item = Fixture.newLoginItem(true)
            const view = makeSettings(item)
            const toggle = child(view, "launchAtLoginSwitch")
            const error = child(view, "launchError")
            mouseClick(toggle)
            verify(!toggle.checked, "back to the real state")
            compare(item.status(), LoginItem.NotRegistered)
            verify(error.visible && error.text !== "")
            compare(error.text, item.registerItem())
            verify(Qt.colorEqual(error.color, Theme.red))

            // A change that succeeds removes the message.
            view.loginItem = Fixture.newLoginItem(false)
            mouseClick(toggle)
            verify(toggle.checked)
            compare(view.loginItem.status(), LoginItem.Enabled)
            verify(!error.visible, "a successful change removes the message")
        }
    }
}
