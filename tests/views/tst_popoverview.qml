import QtQuick
import QtTest
import Quayline
import QuaylineTest

Item {
    width: 380
    height: 460

    ViewTestCase {
        name: "PopoverView"

        // Which one of the five contents shows for each mix of scan error, scan
        // under way ("first" before any scan finished, "again" after one),
        // entries and filter: the first rule that holds wins.
        function test_content_data() {
            const two = [entry(10, "nginx", 80), entry(11, "redis-server", 6379)]
            const lsof = "Could not find lsof at /usr/bin/lsof."
            const row = (tag, error, loading, entries, filter, view, message, count) =>
                ({ tag, error, loading, entries, filter, view, message, count })
            return [
                row("nothing listening", null, false, [], "", "emptyView", "Nothing is listening", "0"),
                // No loading view flashing up at every refresh of an empty list.
                row("rescan of an empty list", null, "again", [], "", "emptyView", "Nothing is listening", "0"),
                row("filter, no entries", null, false, [], "ngi", "noMatchView", "No ports match “ngi”", "0"),
                row("filter kept as typed", null, false, two, " NoSuch ", "noMatchView", "No ports match “ NoSuch ”", "0"),
                row("filter with placeholders", null, false, two, "%1 %2", "noMatchView", "No ports match “%1 %2”", "0"),
                row("filter narrows", null, false, two, "redis", "portList", undefined, "1"),
                row("first scan under way", null, "first", [], "", "loadingView", undefined, "0"),
                row("first scan under way, filter", null, "first", [], "zz", "loadingView", undefined, "0"),
                row("rescan keeps the list", null, "again", two, "", "portList", undefined, "2"),
                row("scan error while rescanning, filter", lsof, "again", [], "zz", "errorView", lsof, "0"),
                row("scan error beside entries", lsof, false, two, "", "errorView", lsof, "2"),
                row("empty error text", "", false, [], "", "errorView", "", "0"),
            ]
        }

        function test_content(data) {
            const popover = data.loading === "first" ? makeUnscannedPopover() : makePopover(data.entries, data.error)
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

        // A port number that no row holds: whether a new listener can take it,
        // by the rule of the command line, over the fixture's machine (see
        // newModel), and the next free port after it to copy.
        function test_freePortAnswer_data() {
            const nothing = "Nothing is listening on port "
            const row = (tag, filter, message, next) => ({ tag, filter, message, next })
            return [
                row("free", "3000", nothing + "3000. It is free for TCP.", "3001"),
                row("next free skips a port taken meanwhile", "5999", nothing + "5999. It is free for TCP.", "6001"),
                row("ephemeral range", "40000", nothing + "40000, but it is not free: it lies in the kernel's ephemeral range, which outgoing connections take their ports from.", "40101"),
                row("reserved", "7000", nothing + "7000, but it is not free: the kernel keeps it reserved.", "7001"),
                row("published with no socket, hostile name inert", "5000", nothing + "5000, but it is not free: the container web-1\\x1b[31m publishes it.", "5001"),
                row("privileged, for an ordinary user", " 80 ", nothing + "80, but only root may listen on it.", "1024"),
                row("last port", "65535", nothing + "65535. It is free for TCP.", ""),
                row("not a port", "65536", "No ports match “65536”", ""),
                row("a row's port", "6379", undefined, ""),
            ]
        }

        function test_freePortAnswer(data) {
            const popover = makePopover([entry(11, "redis-server", 6379)])
            popover.viewModel.searchText = data.filter
            const view = child(popover, "noMatchView")
            const action = findChild(view, "action")
            if (data.message === undefined) {
                verify(!view.visible)
                return
            }
            tryCompare(findChild(view, "message"), "text", data.message)
            compare(action.visible, data.next !== "")
            if (data.next === "")
                return
            compare(action.text, "Copy Next Free Port: " + data.next)
            mouseClick(action)
            compare(Fixture.copied(), [data.next])
        }

        // While a later scan runs only the refresh glyph moves, in steps rather
        // than at the frame rate (each change redraws the panel); when the scan
        // ends the glyph stands upright at once.
        function test_refreshActivity() {
            const popover = makePopover([])
            const button = child(popover, "refreshButton")
            const empty = child(popover, "emptyView")
            turnSpy.target = button
            turnSpy.clear()
            popover.viewModel.refreshNow()
            tryVerify(() => button.symbolRotation >= 90, 3000, "the glyph turns")
            verify(empty.visible, "the empty list stays shown")
            verify(turnSpy.count <= 4, turnSpy.count + " redraws of the glyph for a quarter turn")
            Fixture.finishScan([])
            compare(button.symbolRotation, 0)
            verify(empty.visible)
        }

        SignalSpy {
            id: turnSpy
            signalName: "symbolRotationChanged"
        }

        // The clear button comes with the first character, and nothing below
        // moves.
        function test_typedFilterAndClearButton() {
            const popover = makePopover([entry(1, "nginx", 80), entry(2, "postgres", 5432), entry(3, "redis", 6379)])
            const clear = child(popover, "clearButton")
            const area = child(popover, "contentArea")
            const top = area.mapToItem(popover, 0, 0).y
            verify(!clear.visible)
            child(popover, "filterField").forceActiveFocus()
            keyClick(" ")
            verify(clear.visible)
            compare(area.mapToItem(popover, 0, 0).y, top)
            for (const c of "543")
                keyClick(c)
            compare(child(popover, "entryCount").text, "1")
            keyClick("x")
            compare(findChild(child(popover, "noMatchView"), "message").text, "No ports match “ 543x”")

            mouseClick(clear)
            compare(child(popover, "filterField").text, "")
            verify(!clear.visible)
            compare(child(popover, "entryCount").text, "3")
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
            mouseClick(child(alert.footer, "alertOk"))
            tryCompare(alert, "visible", false)
            verify(model.killError === null || model.killError === undefined, "dismissing clears killError")
        }

        function selectedPids(popover) {
            return rows(popover).filter(row => row.selected).map(row => row.entry.pid)
        }

        // The keyboard's way to stop a process: type, pick the row with the
        // arrows, Return for SIGTERM and, while it is still listed after the
        // follow-up refresh, Return again for SIGKILL.
        function test_keyboardStopsTheSelectedRow() {
            const entries = [entry(41, "nginx", 80), entry(42, "node", 3000), entry(43, "node", 3001)]
            const popover = makePopover(entries)
            const field = child(popover, "filterField")
            verify(field.activeFocus, "typing goes into the filter")
            keyClick("o")
            keyClick("d")
            compare(child(popover, "entryCount").text, "2")
            keyClick(Qt.Key_Down)
            keyClick(Qt.Key_Down)
            compare(selectedPids(popover), [43])
            const row = rows(popover)[1]
            verify(Qt.colorEqual(child(row, "hoverFill").color, Theme.selectionFill), "the selection shows")
            keyClick(Qt.Key_Return)
            compare(Fixture.signalsSent(), [{ pid: 43, signal: 15 }])
            compare(child(row, "stopButton").text, "Force")
            verify(field.activeFocus)
            tryVerify(() => Fixture.pendingScans() > 0, 3000, "the follow-up refresh")
            Fixture.finishScan(entries)
            compare(selectedPids(popover), [43])
            keyClick(Qt.Key_Return)
            const sent = [{ pid: 43, signal: 15 }, { pid: 43, signal: 9 }]
            compare(Fixture.signalsSent(), sent)
            // The selection is a row, not a place in the list: with its process
            // gone, Return must not stop the one that moved up into its place.
            tryVerify(() => Fixture.pendingScans() > 0, 3000, "the follow-up refresh")
            Fixture.finishScan(entries.slice(0, 2))
            compare(selectedPids(popover), [])
            keyClick(Qt.Key_Return)
            compare(Fixture.signalsSent(), sent, "nothing sent to pid 42")
            keyClick(Qt.Key_Down)
            compare(selectedPids(popover), [42])
        }

        // A scan that could not read the kernel's socket table: its rows, and
        // above them the notice; the next scan that could takes it away.
        function test_scanNotice() {
            const popover = makePopover([entry(42, "node", 3000)], null, "Ports of other users may be missing.")
            const notice = child(popover, "scanNotice")
            verify(notice.visible)
            compare(notice.text, "Ports of other users may be missing.")
            compare(rows(popover).length, 1)
            popover.viewModel.refreshNow()
            Fixture.finishScan([entry(42, "node", 3000)])
            verify(!notice.visible)
        }

        function test_arrowKeys_data() {
            const down = Qt.Key_Down, up = Qt.Key_Up
            return [
                { tag: "down selects the first row", keys: [down], pid: 1 },
                { tag: "down stops at the last row", keys: [down, down, down, down], pid: 3 },
                { tag: "up from nothing selects the last row", keys: [up], pid: 3 },
                { tag: "up stops at the first row", keys: [down, up, up], pid: 1 },
                { tag: "down moves on, from the list itself", keys: [down, down], pid: 2, inList: true },
                // Each opening starts with typing into the filter and nothing selected.
                { tag: "opening again starts afresh", keys: [down], inList: true, reopen: true },
            ]
        }

        function test_arrowKeys(data) {
            const popover = makePopover([entry(1, "a", 1), entry(2, "b", 2), entry(3, "c", 3)])
            if (data.inList)
                child(popover, "portList").forceActiveFocus(Qt.TabFocusReason)
            for (const key of data.keys)
                keyClick(key)
            if (data.reopen) {
                popover.shown()
                verify(child(popover, "filterField").activeFocus)
            }
            compare(selectedPids(popover), data.pid ? [data.pid] : [])
        }

        // Tab reaches every control of the panel, one stop for the whole list
        // and none for the rows' stop buttons, and rings each.
        function test_focusFrames() {
            const popover = makePopover([entry(1, "a", 1), entry(2, "b", 2)])
            popover.viewModel.searchText = " "
            compare(tabRound(popover),
                    ["clearButton", "filterField", "portList", "quitButton", "refreshButton", "settingsLink"])
        }

        function test_shortcuts() {
            const popover = makePopover([entry(1, "a", 1)])
            const scans = Fixture.pendingScans()
            keyClick(Qt.Key_R, Qt.ControlModifier)
            compare(Fixture.pendingScans(), scans + 1, "Ctrl+R refreshes")
            Fixture.finishScan([entry(1, "a", 1)])
            settingsSpy.target = popover
            keyClick(Qt.Key_Comma, Qt.ControlModifier)
            compare(settingsSpy.count, 1, "Ctrl+, asks for the settings")
            keyClick(Qt.Key_Q, Qt.ControlModifier)
            compare(Fixture.quitRequests(), 1, "Ctrl+Q quits")
        }

        SignalSpy {
            id: settingsSpy
            signalName: "settingsRequested"
        }

        // A panel lower than 460, to fit a small screen: the list gives up the
        // height; header, filter and footer keep theirs and stay inside. The
        // scroll bar shows at rest where the rows do not fit.
        function test_panelHeight_data() {
            return [{ tag: "330", height: 330, rows: 40, scroll: true }, { tag: "250", height: 250, rows: 40, scroll: true },
                    { tag: "460, 2 rows", height: 460, rows: 2, scroll: false }]
        }

        function test_panelHeight(data) {
            const popover = makePopover(Array.from({ length: data.rows }, (_, i) => entry(i + 1, "p" + i, i + 1)))
            const area = child(popover, "contentArea")
            const quit = child(popover, "quitButton")
            const place = () => ({
                refresh: child(popover, "refreshButton").mapToItem(popover, 0, 0).y,
                filter: child(popover, "filterField").mapToItem(popover, 0, 0).y,
                area: area.height,
                footer: popover.height - quit.mapToItem(popover, 0, 0).y,
            })
            const full = place()
            popover.height = data.height
            tryCompare(area, "height", full.area - (460 - data.height))
            compare(place(), Object.assign({}, full, { area: full.area - (460 - data.height) }))
            verify(quit.mapToItem(popover, 0, quit.height).y <= data.height)
            const list = child(popover, "portList")
            list.forceLayout()
            compare(list.height, area.height)
            const bar = child(popover, "scrollBar")
            compare(bar.visible && bar.contentItem.opacity > 0, data.scroll)
        }

        // 10,000 entries: only the rows in view are built.
        function test_tenThousandEntries() {
            const popover = makePopover(Array.from({ length: 10000 }, (_, i) => entry(1000 + i, "proc" + i, 1000 + i)))
            const list = child(popover, "portList")
            list.forceLayout()
            compare(child(popover, "entryCount").text, "10000")
            verify(list.contentItem.children.length < 100, list.contentItem.children.length + " rows")
        }
    }
}
