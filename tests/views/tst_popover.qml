import QtQuick
import QtQuick.Controls
import QtTest
import Quayline
import QuaylineTest

// The test case itself is never shown; the views go into this item.
Item {
    id: scene
    width: 380
    height: 460

    TestCase {
        id: testCase
        name: "Popover"
        when: windowShown

        readonly property var contentViews: ["errorView", "loadingView", "emptyView", "noMatchView", "portList"]
        readonly property string lsofMissing: "Could not find lsof at /usr/bin/lsof."

        Component {
            id: popoverComponent
            PopoverView {}
        }

        function init() {
            Fixture.reset()
        }

        function makePopover(settings) {
            const model = Fixture.newModel(settings === undefined ? {} : settings)
            const popover = createTemporaryObject(popoverComponent, scene, { viewModel: model })
            verify(popover !== null)
            return popover
        }

        function child(item, name) {
            const found = findChild(item, name)
            verify(found !== null, "no child " + name)
            return found
        }

        // The one content view on screen; fails if there is not exactly one.
        function shownContent(popover) {
            const shown = contentViews.filter(name => child(popover, name).visible)
            compare(shown.length, 1, "content views on screen: " + shown.join(", "))
            return shown[0]
        }

        function rows(popover) {
            const list = child(popover, "portList")
            list.forceLayout()
            const result = []
            for (let i = 0; i < list.count; ++i) {
                const item = list.itemAtIndex(i)
                if (item !== null)
                    result.push(findChild(item, "portRow"))
            }
            return result
        }

        function typeFilter(popover, text) {
            const field = child(popover, "filterField")
            field.forceActiveFocus()
            for (const c of text)
                keyClick(c)
        }

        function entry(pid, name, port, protocol) {
            return { pid: pid, processName: name, port: port, networkProtocol: protocol || "TCP" }
        }

        // Which of the five contents shows, for each mix of scan error, scan
        // under way, entries and filter text; the first rule that holds wins.
        function test_content_data() {
            const two = [entry(10, "nginx", 80), entry(11, "redis-server", 6379)]
            return [
                { tag: "nothing listening", entries: [], filter: "", view: "emptyView",
                  message: "Nothing is listening", count: "0" },
                { tag: "filter without entries", entries: [], filter: "ngi", view: "noMatchView",
                  message: "No ports match “ngi”", count: "0" },
                { tag: "blank filter without entries", entries: [], filter: "  ", view: "noMatchView",
                  message: "No ports match “  ”", count: "0" },
                { tag: "filter kept as typed", entries: two, filter: " NoSuch ", view: "noMatchView",
                  message: "No ports match “ NoSuch ”", count: "0" },
                { tag: "blank filter with entries", entries: two, filter: " ", view: "portList", count: "2" },
                { tag: "filter narrows", entries: two, filter: "redis", view: "portList", count: "1" },
                { tag: "list", entries: two, filter: "", view: "portList", count: "2" },
                { tag: "first scan under way", entries: [], loading: true, filter: "", view: "loadingView",
                  count: "0" },
                { tag: "first scan under way, filter", entries: [], loading: true, filter: "zz",
                  view: "loadingView", count: "0" },
                { tag: "rescan keeps the list", entries: two, loading: true, filter: "", view: "portList",
                  count: "2" },
                { tag: "rescan, nothing matches", entries: two, loading: true, filter: "zz",
                  view: "noMatchView", message: "No ports match “zz”", count: "0" },
                { tag: "scan error", entries: [], error: lsofMissing, filter: "", view: "errorView",
                  message: lsofMissing, count: "0" },
                { tag: "scan error, filter", entries: [], error: lsofMissing, filter: "zz",
                  view: "errorView", message: lsofMissing, count: "0" },
                { tag: "scan error while rescanning", entries: [], error: lsofMissing, loading: true,
                  filter: "", view: "errorView", message: lsofMissing, count: "0" },
                { tag: "scan error beside entries", entries: two, error: lsofMissing, filter: "",
                  view: "errorView", message: lsofMissing, count: "2" },
                { tag: "empty error text", entries: [], error: "", filter: "", view: "errorView",
                  message: "", count: "0" },
            ]
        }

        function test_content(data) {
            const popover = makePopover()
            const model = popover.viewModel
            model.searchText = data.filter
            if (data.entries.length > 0 || data.error !== undefined) {
                model.refreshNow()
                Fixture.finishScan(data.entries, data.error === undefined ? null : data.error)
            }
            if (data.loading)
                model.refreshNow()
            compare(model.isLoading, data.loading === true)

            const view = shownContent(popover)
            compare(view, data.view)
            if (data.message !== undefined)
                compare(findChild(child(popover, view), "message").text, data.message)
            compare(child(popover, "entryCount").text, data.count)
        }

        // The start-up task: a scan on every showing, then the timer.
        function test_shownScansThenStartsTimer() {
            const popover = makePopover({ autoRefreshEnabled: true })
            compare(Fixture.pendingScans, 0, "nothing is scanned before the panel shows")
            popover.shown()
            compare(Fixture.pendingScans, 1)
            compare(shownContent(popover), "loadingView")
            verify(!Fixture.isTimerRunning(popover.viewModel), "timer waits for the scan")
            Fixture.finishScan([entry(5, "sshd", 22)])
            tryVerify(() => Fixture.isTimerRunning(popover.viewModel))
            compare(shownContent(popover), "portList")

            popover.shown()
            compare(Fixture.pendingScans, 1, "each showing scans again")
            compare(shownContent(popover), "portList", "entries from before stay on screen")
            Fixture.finishScan([])
            compare(shownContent(popover), "emptyView")
        }

        function test_refreshSpinsTheGlyphWhileLoading() {
            const popover = makePopover()
            popover.shown()
            Fixture.finishScan([entry(5, "sshd", 22)])
            tryCompare(popover, "spinAngle", 0)

            mouseClick(child(popover, "refreshButton"))
            compare(Fixture.pendingScans, 1, "the refresh button scans")
            tryVerify(() => popover.spinAngle > 30, 2000, "glyph turns while the scan runs")
            compare(shownContent(popover), "portList")
            mouseClick(child(popover, "refreshButton"))
            compare(Fixture.pendingScans, 2, "a press during a scan starts another")

            Fixture.finishScan([entry(5, "sshd", 22)])
            Fixture.finishScan([entry(5, "sshd", 22)])
            tryCompare(popover, "spinAngle", 0, 1000, "settles upright after the scan")
        }

        function test_scanUnderWayWhenShownDoesNotSpin() {
            const popover = makePopover()
            popover.viewModel.refreshNow()
            compare(popover.viewModel.isLoading, true)
            popover.shown()
            verify(!child(popover, "spinAnimation").running)
            compare(popover.spinAngle, 0)
            Fixture.finishScan([])
            Fixture.finishScan([])
            compare(popover.spinAngle, 0)
        }

        function test_filterFieldAndClearButton() {
            const popover = makePopover()
            const model = popover.viewModel
            popover.shown()
            Fixture.finishScan([entry(1, "nginx", 80), entry(2, "postgres", 5432), entry(3, "redis", 6379)])
            const clear = child(popover, "clearButton")
            verify(!clear.visible)

            typeFilter(popover, "543")
            compare(model.searchText, "543", "every keystroke reaches the model")
            verify(clear.visible)
            compare(child(popover, "entryCount").text, "1")
            compare(rows(popover).length, 1)

            mouseClick(clear)
            compare(model.searchText, "")
            compare(child(popover, "filterField").text, "")
            verify(!clear.visible)
            compare(child(popover, "entryCount").text, "3")
            compare(shownContent(popover), "portList")

            model.searchText = " "
            verify(clear.visible, "a single blank is a filter")
            compare(child(popover, "filterField").text, " ", "the field follows the model")
        }

        function test_everyRowHasADivider() {
            const popover = makePopover()
            popover.shown()
            Fixture.finishScan([entry(1, "a", 1), entry(2, "b", 2)])
            const list = child(popover, "portList")
            list.forceLayout()
            for (let i = 0; i < 2; ++i) {
                const item = list.itemAtIndex(i)
                const row = findChild(item, "portRow")
                const divider = item.children[item.children.length - 1]
                verify(divider !== row)
                compare(divider.height, 1)
                verify(divider.y >= row.y + row.height, "divider below row " + i)
            }
        }

        function test_stopStageIsSharedByTheRowsOfOnePid() {
            const popover = makePopover()
            popover.shown()
            Fixture.finishScan([entry(42, "node", 3000), entry(7, "sshd", 22), entry(42, "node", 5353, "UDP")])
            let r = rows(popover)
            compare(r.length, 3)
            const stage = () => rows(popover).map(row => child(row, "stopButton").text).join(" ")
            compare(stage(), "Kill Kill Kill")

            mouseClick(child(r[1], "stopButton"))   // sshd, pid 7
            compare(Fixture.signalsSent, [{ pid: 7, signal: 15 }])
            compare(stage(), "Kill Force Kill")

            mouseClick(child(r[0], "stopButton"))   // node's TCP row
            compare(stage(), "Force Force Force")
            compare(rows(popover)[2].stopToolTip, "Process didn’t exit — send SIGKILL to PID 42")

            mouseClick(child(rows(popover)[2], "stopButton"))   // node's UDP row now forces
            compare(Fixture.signalsSent[2], { pid: 42, signal: 9 })
            compare(stage(), "Kill Force Kill", "after SIGKILL the pid starts over")
        }

        function test_rowsKeepTheirItemsAcrossRefreshes() {
            const popover = makePopover()
            popover.shown()
            const first = [entry(1, "a", 10), entry(2, "b", 20)]
            Fixture.finishScan(first)
            const before = rows(popover)[1]
            popover.viewModel.refreshNow()
            Fixture.finishScan([entry(1, "a", 10), entry(2, "b", 20), entry(3, "c", 30)])
            compare(rows(popover)[1], before, "same entry id, same row item")
        }

        function test_stopFailureAlert() {
            const popover = makePopover()
            const model = popover.viewModel
            popover.shown()
            Fixture.finishScan([entry(9, "cupsd", 631), { pid: 1, processName: "init", port: 111, user: "root" }])
            const alert = child(popover, "stopFailureAlert")
            verify(!alert.visible)

            Fixture.setKillResult(1)   // EPERM
            mouseClick(child(rows(popover)[0], "stopButton"))
            tryCompare(alert, "opened", true)
            compare(alert.title, "Unable to Stop Process")
            compare(child(alert.contentItem.parent, "alertMessage").text,
                    "The system denied permission to stop this process.")
            const firstId = model.killError.id

            mouseClick(child(alert.footer, "alertOk"))
            tryCompare(alert, "visible", false)
            verify(model.killError === undefined || model.killError === null,
                   "dismissing clears the model's message")

            // A later failure is a new alert with its own message; no signal is
            // sent to a process of another user.
            const sent = Fixture.signalsSent.length
            mouseClick(child(rows(popover)[1], "stopButton"))
            tryCompare(alert, "opened", true)
            verify(model.killError.id !== firstId)
            compare(child(alert.contentItem.parent, "alertMessage").text,
                    "This process is owned by “root”, not you. Quayline only stops processes you own.")
            compare(Fixture.signalsSent.length, sent)

            keyClick(Qt.Key_Escape)
            tryCompare(alert, "visible", false)
            verify(model.killError === undefined || model.killError === null)
        }

        function test_newMessageWhileAlertIsOpen() {
            const popover = makePopover()
            const model = popover.viewModel
            popover.shown()
            Fixture.finishScan([entry(9, "cupsd", 631)])
            const alert = child(popover, "stopFailureAlert")
            Fixture.setKillResult(1)
            const stop = child(rows(popover)[0], "stopButton")
            mouseClick(stop)
            tryCompare(alert, "opened", true)
            const firstId = model.killError.id
            model.stopProcess(rows(popover)[0].entry)   // same text, new id
            verify(model.killError.id !== firstId)
            verify(alert.visible)
            mouseClick(child(alert.footer, "alertOk"))
            tryCompare(alert, "visible", false)
            verify(model.killError === undefined || model.killError === null,
                   "dismissing the alert clears the newer message too")
        }

        function test_messageWaitingWhenThePanelIsCreated() {
            const model = Fixture.newModel()
            model.refreshNow()
            Fixture.finishScan([entry(9, "cupsd", 631)])
            Fixture.setKillResult(1)
            model.stopProcess(Fixture.entry({ pid: 9, processName: "cupsd", port: 631 }))
            verify(model.killError !== null && model.killError !== undefined)
            const popover = createTemporaryObject(popoverComponent, scene, { viewModel: model })
            tryCompare(child(popover, "stopFailureAlert"), "opened", true)
        }

        // 10,000 rows: the list is built lazily and a keystroke narrows it in
        // place. Its speed is a benchmark figure, not a test.
        function test_tenThousandEntries() {
            const popover = makePopover()
            popover.shown()
            Fixture.finishScan(Fixture.manyEntries(10000))
            compare(child(popover, "entryCount").text, "10000")
            const list = child(popover, "portList")
            verify(list.contentItem.children.length < 100, "rows are built only when in view")
            waitForRendering(popover)

            child(popover, "filterField").forceActiveFocus()
            keyClick("9")
            waitForRendering(popover)
            compare(child(popover, "entryCount").text, "4168")
            verify(list.contentItem.children.length < 100, "still only the rows in view")
        }
    }
}
